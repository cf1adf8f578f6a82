// The shipped programs are i386 programs, and hand the shell the full 956-byte
// notification-icon record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/win32/desktop/win32_desktop.h"
#include "ui/tray.h"

namespace kestrune {
namespace {

static_assert(sizeof(NOTIFYICONDATAW) == 956);

TEST(Win32DesktopI686, NotifyIconRecordIsTheFull956Bytes) {
    const NOTIFYICONDATAW data =
        win32::notifyIconData(makeTrayNotice(kNoOwner, "tip", "text"), GetModuleHandleW(nullptr));
    EXPECT_EQ(data.cbSize, 956u);
    const auto* self = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, self, sizeof dos);
    IMAGE_NT_HEADERS32 nt;
    std::memcpy(&nt, self + dos.e_lfanew, sizeof nt);
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
}

}  // namespace
}  // namespace kestrune
