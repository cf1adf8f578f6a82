// One owner for every platform handle, instead of a deleter struct or a hand-written
// close per handle type: the handle's own free function is called once, when the owner
// goes, and never on the handle type's invalid value.
//
// - CHandle<T, Free>: handles that are pointers (X509*, BIO*, sqlite3*, and HKEY,
//   HINTERNET, HCERTSTORE, HMENU with T what they point to, e.g.
//   CHandle<std::remove_pointer_t<HKEY>, RegCloseKey>). Null is the invalid value.
// - UniqueHandle<Policy>: any other handle (a file descriptor, whose invalid value is -1;
//   a Win32 HANDLE, whose invalid value may be INVALID_HANDLE_VALUE). The policy names the
//   handle type, its invalid value and how to close it.
// A free function that wants more than the handle gets a one-line wrapper of its own.
#pragma once

#include <memory>
#include <utility>

namespace kestrune {

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* p) const {
        if (p) {
            Free(p);
        }
    }
};

template <class T, auto Free>
using CHandle = std::unique_ptr<T, FreeWith<Free>>;

// Policy: `using Handle = ...; static Handle invalid(); static void close(Handle);`
template <class Policy>
class UniqueHandle {
  public:
    using Handle = typename Policy::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Policy::invalid(); }
    explicit operator bool() const { return valid(); }

    Handle release() { return std::exchange(handle_, Policy::invalid()); }
    void reset(Handle handle = Policy::invalid()) {
        const Handle old = std::exchange(handle_, handle);
        if (old != Policy::invalid()) {
            Policy::close(old);
        }
    }

  private:
    Handle handle_ = Policy::invalid();
};

}  // namespace kestrune
