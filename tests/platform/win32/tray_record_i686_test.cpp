// The shipped 32-bit program hands the shell the full 956-byte notification-icon record.
#include <gtest/gtest.h>

#include "platform/win32/win32_desktop.h"
#include "ui/tray.h"

namespace kestrune {
namespace {

static_assert(sizeof(NOTIFYICONDATAW) == 956);

TEST(Win32DesktopI686, NotifyIconRecordIsTheFull956Bytes) {
    const NOTIFYICONDATAW data =
        win32::notifyIconData(makeTrayNotice(kNoOwner, "tip", "text"), GetModuleHandleW(nullptr));
    EXPECT_EQ(data.cbSize, 956u);
}

}  // namespace
}  // namespace kestrune
