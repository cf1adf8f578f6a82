// The one owner of a file descriptor on Linux: closed once, never when it is -1.
#pragma once

#include <unistd.h>

#include "inventory/c_handle.h"

namespace kestrune {

struct FdPolicy {
    using Handle = int;
    static int invalid() { return -1; }
    static void close(int fd) { ::close(fd); }
};

using UniqueFd = UniqueHandle<FdPolicy>;

}  // namespace kestrune
