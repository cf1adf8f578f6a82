// UTF-8 inside the core, UTF-16 at the edges (records, Win32 W calls).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

// The code point of the UTF-8 sequence at `i`, advancing `i` past it; -1 for a byte
// that does not start a valid sequence (then `i` moves one byte). Never reads past the
// input.
long nextUtf8CodePoint(std::string_view text, std::size_t& i);

// Invalid sequences become U+FFFD, one per byte; never reads past the input.
std::u16string utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view utf16);

// The longest prefix of `text` that takes at most maxUnits UTF-16 units, never splitting
// a code point (a surrogate pair stays whole; an invalid byte counts as the one unit
// U+FFFD it becomes). For the fixed-size text buffers of records and notices.
std::string cutToUtf16Units(std::string_view text, std::size_t maxUnits);
// The longest prefix of `text` of at most maxBytes bytes that ends between code points
// (an invalid byte counts as a code point of its own).
std::string cutToUtf8Bytes(std::string_view text, std::size_t maxBytes);

// printf-style formatting into a std::string (C locale conversions only).
std::string formatText(const char* format, ...)
    __attribute__((format(KESTRUNE_PRINTF_FORMAT, 1, 2)));
std::string formatTextV(const char* format, std::va_list args);

// Text that cannot steer a terminal or fake a line of its own: C0 and C1 controls and
// DEL as \xNN, bidirectional embeddings, overrides and isolates (they reorder what
// follows them) as \uNNNN, invalid UTF-8 as U+FFFD. `field` also escapes the backslash,
// tab and line ends, for one field of a tab-separated line; without it they pass.
std::string escapeControls(std::string_view text, bool field);

// ASCII case folding as the platform's case-insensitive compare does it.
char16_t asciiLower(char16_t c);

// Lower-case hex of `n` bytes, `separator` between them (and after the last one too with
// `trailing`).
std::string hexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator = "",
                     bool trailing = false);

}  // namespace kestrune
