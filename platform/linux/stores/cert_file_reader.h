// Certificates out of one file's bytes, framed as OpenSSL's PEM reader takes them: any
// number of "CERTIFICATE", "X509 CERTIFICATE" and "TRUSTED CERTIFICATE" blocks (other
// blocks and the text around them are ignored; CRLF, trailing blanks, a UTF-8 byte-order
// mark before a BEGIN line), or a single DER certificate. A certificate block that does
// not parse is reported and passed over; the rest of the file is still read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/x509_fields.h"

namespace kestrune {

// Base64 with whitespace anywhere and '=' padding only at the end; false on any other
// character or a length that cannot be base64.
bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& out);
// A PEM block's base64 text with its line breaks and the blanks around its lines taken
// out: the same certificate written in two files gives the same key, however each wraps
// its lines.
std::string pemTextKey(std::string_view block);

class CertificateFileReader {
  public:
    enum class Step { Certificate, Broken, End };

    // One certificate's bytes as the file holds them, not parsed yet.
    struct Block {
        const std::uint8_t* der = nullptr;
        std::size_t size = 0;
        bool trusted = false;   // a "TRUSTED CERTIFICATE" block: trust data may follow
        std::size_t begin = 0;  // where its BEGIN line is in the file
        // The bytes after the certificate itself in the block: the trust settings (an
        // X509_CERT_AUX) of a trusted certificate; empty for most.
        const std::uint8_t* trust = nullptr;
        std::size_t trustSize = 0;
        // A PEM block as the file holds it, from its BEGIN line to the end of its END
        // line (empty for DER).
        std::string_view text;
    };

    // `data` must outlive the reader.
    explicit CertificateFileReader(std::string_view data);

    // A file read as it goes, `fd` open at its start (see openRegularFile; it must
    // outlive the reader): a PEM file is held a window at a time, so memory does not
    // grow with the file; anything else is read whole. At most `maxBytes` are read;
    // past them, on a read error, or when the file ends before the `sizeHint` bytes it
    // held when opened, the reader ends and readFailure() says why.
    static constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
    CertificateFileReader(int fd, std::size_t sizeHint, std::size_t maxBytes,
                          std::size_t windowBytes = kWindowBytes,
                          const FileCalls& calls = systemFileCalls());

    // Why a file could not be read to its end (empty when it was, or for bytes in
    // memory): what it holds past that point is unknown.
    const std::string& readFailure() const { return readFailure_; }
    // The bytes of a streamed file held in memory now.
    std::size_t heldBytes() const { return window_.capacity(); }

    // Certificate: `cert` holds the next one. Broken: `problem` says why a part of the
    // file could not be read (problemLine() says where); call again for the rest.
    // End: nothing more.
    Step next(X509Ptr& cert, std::string& problem);

    // The same in two halves: nextBlock() finds the next certificate's bytes (Certificate,
    // or Broken and End as above), parse() parses them fully (Certificate or Broken). A
    // block's bytes stay valid until the next call of nextBlock().
    Step nextBlock(Block& block, std::string& problem);
    Step parse(const Block& block, X509Ptr& cert, std::string& problem);

    // PEM blocks framed but not decoded: nextBlock() gives each block's text alone (no
    // bytes), for a caller that only matches blocks by their text.
    void frameOnly() { frameOnly_ = true; }

    bool isPem() const { return pem_; }
    // Whether the file is PEM, starts as a DER certificate does, or holds a certificate's
    // BEGIN marker anywhere: one it cannot read may hold what OpenSSL reads, so it is no
    // mere stray file.
    bool holdsCertificates() const;
    static bool looksLikeDer(std::string_view data);
    // The line the broken PEM block starts on; 0 for a DER file.
    std::size_t problemLine() const { return problemLine_; }

  private:
    enum class Pem { Step, More };
    Step nextPem(Block& block, std::string& problem);
    Pem pemStep(Block& block, std::string& problem, Step& step);
    // Where the block whose body starts at `bodyStart` ends: `marker` at its END line, at
    // a BEGIN line when it never ended, or npos when neither follows. False when more of
    // the file must be read to tell.
    bool blockEnd(std::size_t bodyStart, std::size_t& marker) const;
    // A certificate block's bytes (its BEGIN line at `begin`, its END line from `marker`
    // to `endLineEnd`) into `block`: null, or why they are no certificate's.
    const char* takeBlock(std::string_view label, std::size_t begin, std::size_t bodyStart,
                          std::size_t marker, std::size_t endLineEnd, Block& block);
    // Whether a search that found `p` (npos: nothing) and wants `need` bytes there may
    // find otherwise once more of the file is read.
    bool unsure(std::size_t p, std::size_t need) const;
    // Drops what lies before pos_ and reads more; false at the end of the file.
    bool readMore();
    std::size_t lineNumber(std::size_t offset);

    std::string_view data_;  // the bytes, or the window over a streamed file
    int fd_ = -1;
    bool eof_ = true;
    std::size_t maxBytes_ = 0;
    std::size_t readBytes_ = 0;
    std::size_t sizeHint_ = 0;
    std::size_t windowBytes_ = kWindowBytes;
    const FileCalls* calls_ = &systemFileCalls();
    std::string window_;
    std::string readFailure_;
    bool pem_ = false;
    bool derDone_ = false;
    bool frameOnly_ = false;
    std::size_t pos_ = 0;
    std::size_t problemLine_ = 0;
    std::size_t countedTo_ = 0;
    std::size_t linesBefore_ = 0;
    std::vector<std::uint8_t> der_;  // reused for every block
};

}  // namespace kestrune
