// One owner for any C library handle instead of a deleter struct per handle type: the
// handle's own free function is called once, when the owner goes. For handle types that
// are pointers already (HKEY, HINTERNET, HCERTSTORE), T is what they point to, e.g.
// CHandle<std::remove_pointer_t<HKEY>, RegCloseKey>. A free function that wants more
// than the handle gets a one-line wrapper of its own.
#pragma once

#include <memory>

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

}  // namespace kestrune
