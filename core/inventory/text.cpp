#include "inventory/text.h"

#include <cstdio>
#include <vector>

namespace kestrune {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

long nextUtf8CodePoint(std::string_view text, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t extra = 0;
    long cp = 0;
    long min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return -1;
    }
    if (i + extra >= text.size()) {
        ++i;
        return -1;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return -1;
    }
    i += extra + 1;
    return cp;
}

std::string cutToUtf16Units(std::string_view text, std::size_t maxUnits) {
    std::size_t units = 0;
    std::size_t end = 0;
    while (end < text.size()) {
        std::size_t next = end;
        const long cp = nextUtf8CodePoint(text, next);
        const std::size_t cpUnits = cp >= 0x10000 ? 2 : 1;
        if (units + cpUnits > maxUnits) {
            break;
        }
        units += cpUnits;
        end = next;
    }
    return std::string(text.substr(0, end));
}

std::string cutToUtf8Bytes(std::string_view text, std::size_t maxBytes) {
    std::size_t end = 0;
    while (end < text.size()) {
        std::size_t next = end;
        nextUtf8CodePoint(text, next);
        if (next > maxBytes) {
            break;
        }
        end = next;
    }
    return std::string(text.substr(0, end));
}

std::u16string utf8ToUtf16(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size();) {
        const long cp = nextUtf8CodePoint(in, i);
        appendUtf16(out, cp < 0 ? kReplacement : static_cast<char32_t>(cp));
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string formatTextV(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string formatText(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string s = formatTextV(format, args);
    va_end(args);
    return s;
}

char16_t asciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::string escapeControls(std::string_view text, bool field) {
    std::string out;
    out.reserve(text.size());
    const auto plain = [field](char c) { return c >= 0x20 && c < 0x7F && !(field && c == '\\'); };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        if (plain(text[i])) {
            // Printable ASCII, the bulk of any text, is copied a run at a time.
            while (i < text.size() && plain(text[i])) {
                ++i;
            }
            out.append(text.substr(start, i - start));
            continue;
        }
        const long cp = nextUtf8CodePoint(text, i);
        const bool lineOwn = cp == '\n' || cp == '\r' || cp == '\t';
        if (cp < 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
        } else if (field && cp == '\\') {
            out += "\\\\";
        } else if (field && lineOwn) {
            out += cp == '\t' ? "\\t" : cp == '\n' ? "\\n" : "\\r";
        } else if ((cp < 0x20 && !lineOwn) || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
            out += formatText("\\x%02lx", cp);
        } else if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
            out += formatText("\\u%04lx", cp);
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator,
                     bool trailing) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kHex[bytes[i] >> 4]);
        s.push_back(kHex[bytes[i] & 0xF]);
        if (trailing || i + 1 < n) {
            s += separator;
        }
    }
    return s;
}

}  // namespace kestrune
