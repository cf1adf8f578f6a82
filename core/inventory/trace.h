// The diagnostic trace: plain lines on standard output and a few on standard error,
// no time stamp or level. Programs point it at the real streams; tests capture it and
// quiet tools silence it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class Trace {
  public:
    virtual ~Trace() = default;
    virtual void out(std::string_view text) = 0;
    virtual void err(std::string_view text) = 0;
    // False when everything written is dropped: outf/errf then skip the formatting,
    // which the scanner would otherwise pay twice per certificate.
    virtual bool keeps() const { return true; }
    void outf(const char* format, ...) __attribute__((format(KESTRUNE_PRINTF_FORMAT, 2, 3)));
    void errf(const char* format, ...) __attribute__((format(KESTRUNE_PRINTF_FORMAT, 2, 3)));
};

class StdTrace final : public Trace {
  public:
    void out(std::string_view text) override;
    void err(std::string_view text) override;
};

// Both streams to standard error: for tools whose standard output is their report.
class StderrTrace final : public Trace {
  public:
    void out(std::string_view text) override;
    void err(std::string_view text) override;
};

class NullTrace final : public Trace {
  public:
    void out(std::string_view) override {}
    void err(std::string_view) override {}
    bool keeps() const override { return false; }
};

// Keeps every piece in order with its stream; thread-safe.
class CaptureTrace final : public Trace {
  public:
    enum class Stream { Out, Err };
    struct Piece {
        Stream stream;
        std::string text;
    };
    void out(std::string_view text) override;
    void err(std::string_view text) override;
    std::vector<Piece> pieces() const;
    std::string outText() const;  // standard output only, concatenated
    std::string errText() const;
    std::string allText() const;  // both streams in order
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Piece> pieces_;
};

}  // namespace kestrune
