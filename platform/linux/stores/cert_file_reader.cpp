#include "platform/linux/stores/cert_file_reader.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/stores/root_files.h"

#include <algorithm>
#include <array>
#include <climits>

namespace kestrune {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

constexpr std::uint8_t kSkip = 0xFE;  // whitespace
constexpr std::uint8_t kBad = 0xFF;

constexpr std::array<std::uint8_t, 256> makeBase64Table() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) {
        v = kBad;
    }
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    for (const char c : {' ', '\t', '\r', '\n', '\v', '\f'}) {
        t[static_cast<unsigned char>(c)] = kSkip;
    }
    return t;
}

constexpr auto kBase64 = makeBase64Table();

bool startsWith(std::string_view data, std::size_t at, std::string_view prefix) {
    return at <= data.size() && data.substr(at, prefix.size()) == prefix;
}

// The first `marker` at the start of a line, at or after `from`.
std::size_t findAtLineStart(std::string_view data, std::size_t from, std::string_view marker) {
    std::size_t p = data.find(marker, from);
    while (p != std::string_view::npos && p > 0 && data[p - 1] != '\n') {
        p = data.find(marker, p + 1);
    }
    return p;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The first BEGIN marker at or after `from` that starts a line, or follows a UTF-8
// byte-order mark that does (OpenSSL drops one there: editors on other systems write it).
std::size_t findBegin(std::string_view data, std::size_t from) {
    std::size_t p = data.find(kBegin, from);
    const auto lineStart = [&](std::size_t at) { return at == 0 || data[at - 1] == '\n'; };
    while (p != std::string_view::npos && !lineStart(p) &&
           !(p >= kByteOrderMark.size() &&
             data.substr(p - kByteOrderMark.size(), kByteOrderMark.size()) == kByteOrderMark &&
             lineStart(p - kByteOrderMark.size()))) {
        p = data.find(kBegin, p + 1);
    }
    return p;
}

std::size_t lineEnd(std::string_view data, std::size_t from) {
    const std::size_t p = data.find('\n', from);
    return p == std::string_view::npos ? data.size() : p;
}

// The labels OpenSSL reads a certificate from; "X509 CERTIFICATE" is the old name.
constexpr std::string_view kCertificateLabels[] = {"CERTIFICATE", "X509 CERTIFICATE",
                                                   "TRUSTED CERTIFICATE"};

bool isCertificateLabel(std::string_view label) {
    return std::find(std::begin(kCertificateLabels), std::end(kCertificateLabels), label) !=
           std::end(kCertificateLabels);
}

bool startsWithCertificateLabel(std::string_view data, std::size_t at) {
    return std::any_of(std::begin(kCertificateLabels), std::end(kCertificateLabels),
                       [&](std::string_view label) { return startsWith(data, at, label); });
}

// What follows the certificate's own DER in a block: a trusted certificate's settings.
void findTrust(CertificateFileReader::Block& block) {
    const unsigned char* p = block.der;
    long length = 0;
    int tag = 0;
    int cls = 0;
    const int header = ASN1_get_object(
        &p, &length, &tag, &cls, static_cast<long>(std::min<std::size_t>(block.size, LONG_MAX)));
    if ((header & 0x80) != 0 || header == 0x21) {
        ERR_clear_error();  // the parse will say what is wrong
        return;
    }
    const std::size_t end =
        static_cast<std::size_t>(p - block.der) + static_cast<std::size_t>(length);
    if (end < block.size) {
        block.trust = block.der + end;
        block.trustSize = block.size - end;
    }
}

}  // namespace

bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    int sextets = 0;
    int padding = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const std::uint8_t v = kBase64[c];
        if (v == kSkip) {
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        if (v == kBad || padding > 0) {
            return false;  // a foreign character, or data after the padding
        }
        accumulator = (accumulator << 6) | v;
        if (++sextets == 4) {
            out.push_back(static_cast<std::uint8_t>(accumulator >> 16));
            out.push_back(static_cast<std::uint8_t>(accumulator >> 8));
            out.push_back(static_cast<std::uint8_t>(accumulator));
            accumulator = 0;
            sextets = 0;
        }
    }
    // What is left must be exactly what the padding stands for.
    if (sextets == 0) {
        return padding == 0;
    }
    if (sextets == 2 && padding == 2) {
        out.push_back(static_cast<std::uint8_t>(accumulator >> 4));
        return true;
    }
    if (sextets == 3 && padding == 1) {
        out.push_back(static_cast<std::uint8_t>(accumulator >> 10));
        out.push_back(static_cast<std::uint8_t>(accumulator >> 2));
        return true;
    }
    return false;
}

bool CertificateFileReader::holdsCertificates() const {
    if (pem_ || looksLikeDer(data_)) {
        return true;
    }
    // Not PEM as OpenSSL reads it, yet a certificate's BEGIN marker somewhere (indented,
    // after other text): the whole file is in memory then.
    for (std::size_t p = data_.find(kBegin); p != std::string_view::npos;
         p = data_.find(kBegin, p + 1)) {
        if (startsWithCertificateLabel(data_, p + kBegin.size())) {
            return true;
        }
    }
    return false;
}

bool CertificateFileReader::looksLikeDer(std::string_view data) {
    // A SEQUENCE with a long-form length, as every certificate (over 127 bytes) has: no
    // text starts so, and the BEGIN lines some field of it may hold are not the file's.
    return data.size() >= 2 && data[0] == '\x30' && static_cast<unsigned char>(data[1]) >= 0x81 &&
           static_cast<unsigned char>(data[1]) <= 0x84;
}

std::string pemTextKey(std::string_view block) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    std::string key;
    key.reserve(block.size());
    // A line at a time, each copied whole without the blanks around it; the BEGIN and END
    // lines left out. A blank inside a line stays: such text is rare, and a key that
    // matches nothing only costs a slower lookup.
    while (!block.empty()) {
        const std::size_t newline = block.find('\n');
        std::string_view line = block.substr(0, newline);
        block.remove_prefix(newline == std::string_view::npos ? block.size() : newline + 1);
        while (!line.empty() && blank(line.front())) {
            line.remove_prefix(1);
        }
        while (!line.empty() && blank(line.back())) {
            line.remove_suffix(1);
        }
        if (!line.starts_with("-----")) {
            key.append(line);
        }
    }
    return key;
}

CertificateFileReader::CertificateFileReader(std::string_view data)
    : data_(data), pem_(!looksLikeDer(data) && findBegin(data, 0) != std::string_view::npos) {}

CertificateFileReader::CertificateFileReader(int fd, std::size_t sizeHint, std::size_t maxBytes,
                                             std::size_t windowBytes, const FileCalls& calls)
    : fd_(fd),
      eof_(false),
      maxBytes_(maxBytes),
      sizeHint_(sizeHint),
      windowBytes_(std::max<std::size_t>(windowBytes, 64)),
      calls_(&calls) {
    // The first read takes a small file whole; a bundle comes a window at a time.
    window_.reserve(std::min(sizeHint, windowBytes_) + 1);
    // PEM as soon as a BEGIN line shows; DER (or nothing) needs the whole file.
    std::size_t searched = 0;
    while (readMore()) {
        if (looksLikeDer(data_)) {
            while (readMore()) {
            }
            return;
        }
        if (findBegin(data_, searched) != std::string_view::npos) {
            pem_ = true;
            return;
        }
        // A marker cut off at the end is looked for again with the next read.
        searched = data_.size() > kBegin.size() + kByteOrderMark.size()
                       ? data_.size() - kBegin.size() - kByteOrderMark.size()
                       : 0;
    }
    pem_ = !looksLikeDer(data_) && findBegin(data_, searched) != std::string_view::npos;
}

bool CertificateFileReader::unsure(std::size_t p, std::size_t need) const {
    return !eof_ && (p == std::string_view::npos || p + need > data_.size());
}

bool CertificateFileReader::readMore() {
    if (eof_) {
        return false;
    }
    if (pem_ && pos_ > 0) {
        // What lies before pos_ is done with; its lines are counted before it goes.
        if (countedTo_ <= pos_) {
            linesBefore_ += static_cast<std::size_t>(
                std::count(window_.begin() + static_cast<std::ptrdiff_t>(countedTo_),
                           window_.begin() + static_cast<std::ptrdiff_t>(pos_), '\n'));
            countedTo_ = 0;
        } else {
            countedTo_ -= pos_;
        }
        window_.erase(0, pos_);
        pos_ = 0;
    }
    const std::size_t used = window_.size();
    std::size_t want = window_.capacity() - used;
    if (want == 0 || (want < windowBytes_ / 64 && readBytes_ < sizeHint_)) {
        want = windowBytes_ / 4;  // a block larger than the window: it grows
    }
    window_.resize(used + want);
    for (;;) {
        const ssize_t n = calls_->read(fd_, window_.data() + used, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readFailure_ = errnoText(errno);
            eof_ = true;
        } else if (n == 0) {
            // Fewer bytes than it held when opened: what it holds now is not what was
            // there, and the rest is unknown.
            readFailure_ = shortReadText(readBytes_, sizeHint_);
            eof_ = true;
        } else {
            readBytes_ += static_cast<std::size_t>(n);
            if (readBytes_ > maxBytes_) {
                readFailure_ = "larger than " + std::to_string(maxBytes_ >> 20) + " MiB";
                eof_ = true;
            }
        }
        window_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        data_ = window_;
        return !eof_;
    }
}

std::size_t CertificateFileReader::lineNumber(std::size_t offset) {
    // Blocks come in file order, so counting goes on from where it stopped.
    const std::size_t end = std::min(offset, data_.size());
    if (end < countedTo_) {
        countedTo_ = 0;
        linesBefore_ = 0;
    }
    linesBefore_ +=
        static_cast<std::size_t>(std::count(data_.begin() + countedTo_, data_.begin() + end, '\n'));
    countedTo_ = end;
    return 1 + linesBefore_;
}

CertificateFileReader::Step CertificateFileReader::next(X509Ptr& cert, std::string& problem) {
    cert.reset();
    Block block;
    const Step step = nextBlock(block, problem);
    return step == Step::Certificate ? parse(block, cert, problem) : step;
}

CertificateFileReader::Step CertificateFileReader::nextBlock(Block& block, std::string& problem) {
    block = Block{};
    problem.clear();
    problemLine_ = 0;
    if (pem_) {
        return nextPem(block, problem);
    }
    if (derDone_ || data_.empty() || !readFailure_.empty()) {
        return Step::End;
    }
    derDone_ = true;
    block.der = reinterpret_cast<const std::uint8_t*>(data_.data());
    block.size = data_.size();
    return Step::Certificate;
}

CertificateFileReader::Step CertificateFileReader::parse(const Block& block, X509Ptr& cert,
                                                         std::string& problem) {
    cert.reset();
    problem.clear();
    problemLine_ = 0;
    const unsigned char* p = block.der;
    const long length = static_cast<long>(std::min<std::size_t>(block.size, LONG_MAX));
    if (block.der == nullptr || length <= 0) {
        problem = "not a certificate";
        return Step::Broken;
    }
    cert.reset(block.trusted ? d2i_X509_AUX(nullptr, &p, length) : d2i_X509(nullptr, &p, length));
    if (cert) {
        return Step::Certificate;
    }
    const std::string why = takeOpensslError();
    if (!pem_) {
        // Only something that starts like a DER SEQUENCE deserves OpenSSL's reason.
        problem = block.der[0] == 0x30  ? "not a certificate (" + why + ")"
                  : holdsCertificates() ? "certificate markers that are not at the start of a line"
                                        : "not a certificate";
        return Step::Broken;
    }
    problemLine_ = lineNumber(block.begin);
    problem = "not a certificate (" + why + ")";
    return Step::Broken;
}

CertificateFileReader::Step CertificateFileReader::nextPem(Block& block, std::string& problem) {
    Step step = Step::End;
    if (!readFailure_.empty()) {
        return step;  // nothing whole is left before the point where reading failed
    }
    while (pemStep(block, problem, step) == Pem::More) {
        readMore();  // at the end of the file, the next step is sure of everything
        if (!readFailure_.empty()) {
            return Step::End;  // the rest is unknown, not broken
        }
    }
    return step;
}

// One step of the PEM walk over what is in memory. It mutates nothing before it is sure
// of a decision, so when it needs more of the file it starts over from pos_.
CertificateFileReader::Pem CertificateFileReader::pemStep(Block& block, std::string& problem,
                                                          Step& step) {
    constexpr auto npos = std::string_view::npos;
    const auto broken = [&](std::size_t begin, const char* why) {
        problemLine_ = lineNumber(begin);
        problem = why;
        step = Step::Broken;
        return Pem::Step;
    };
    for (;;) {
        const std::size_t begin = findBegin(data_, pos_);
        if (unsure(begin, 0)) {
            return Pem::More;
        }
        if (begin == npos) {
            pos_ = data_.size();
            step = Step::End;
            return Pem::Step;
        }
        const std::size_t labelStart = begin + kBegin.size();
        const std::size_t beginLineEnd = lineEnd(data_, labelStart);
        if (unsure(beginLineEnd < data_.size() ? beginLineEnd : npos, 1)) {
            return Pem::More;
        }
        const std::size_t labelEnd = data_.find(kDashes, labelStart);
        const std::size_t bodyStart = std::min(beginLineEnd + 1, data_.size());
        if (labelEnd == npos || labelEnd > beginLineEnd) {
            // A BEGIN line without its closing dashes.
            pos_ = bodyStart;
            if (startsWithCertificateLabel(data_, labelStart)) {
                return broken(begin, "malformed BEGIN line");
            }
            continue;
        }
        const std::string_view label = data_.substr(labelStart, labelEnd - labelStart);
        const bool wanted = isCertificateLabel(label);

        // The block ends at the next END line; a BEGIN line first means it never ended.
        std::size_t marker = npos;
        if (!blockEnd(bodyStart, marker)) {
            return Pem::More;
        }
        if (marker == npos || startsWith(data_, marker, kBegin)) {
            pos_ = marker == npos ? data_.size() : marker;
            if (wanted) {
                return broken(begin, "no END line");
            }
            continue;
        }
        const std::size_t endLineEnd = lineEnd(data_, marker);
        if (unsure(endLineEnd < data_.size() ? endLineEnd : npos, 1)) {
            return Pem::More;
        }
        pos_ = std::min(endLineEnd + 1, data_.size());
        if (!wanted) {
            continue;
        }
        if (const char* why = takeBlock(label, begin, bodyStart, marker, endLineEnd, block)) {
            return broken(begin, why);
        }
        step = Step::Certificate;
        return Pem::Step;
    }
}

bool CertificateFileReader::blockEnd(std::size_t bodyStart, std::size_t& marker) const {
    constexpr auto npos = std::string_view::npos;
    marker = bodyStart;
    for (;;) {
        marker = findAtLineStart(data_, marker, kDashes);
        if (unsure(marker, kBegin.size())) {
            return false;  // a marker cut off at the end of what is read
        }
        if (marker == npos || startsWith(data_, marker, kEnd) ||
            startsWith(data_, marker, kBegin)) {
            return true;
        }
        marker += kDashes.size();
    }
}

const char* CertificateFileReader::takeBlock(std::string_view label, std::size_t begin,
                                             std::size_t bodyStart, std::size_t marker,
                                             std::size_t endLineEnd, Block& block) {
    const std::string_view endLine = data_.substr(marker, endLineEnd - marker);
    if (!startsWith(endLine, kEnd.size(), label) ||
        !startsWith(endLine, kEnd.size() + label.size(), kDashes)) {
        return "its END line does not match";
    }
    block.text = data_.substr(begin, std::min(endLineEnd + 1, data_.size()) - begin);
    if (frameOnly_) {
        block.der = nullptr;
        block.size = 0;
        block.trusted = label == "TRUSTED CERTIFICATE";
        block.begin = begin;
        return nullptr;
    }
    if (!decodeBase64(data_.substr(bodyStart, marker - bodyStart), der_) || der_.empty()) {
        return "not valid base64";
    }
    block.der = der_.data();
    block.size = der_.size();
    block.trusted = label == "TRUSTED CERTIFICATE";
    block.begin = begin;
    findTrust(block);
    return nullptr;
}

}  // namespace kestrune
