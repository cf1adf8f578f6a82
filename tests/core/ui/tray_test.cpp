// The tray icon after a shell restart: it comes back with the tooltip it last had and
// without a balloon, and only once it has been added at all.
#include "ui/tray.h"

#include <gtest/gtest.h>

#include "tests/support/scripted_desktop.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::ScriptedDesktop;

TEST(TrayRestore, ComesBackWithTheLastTooltipAndNoBalloon) {
    ScriptedDesktop desktop;
    KestruneState state;
    Tray tray(desktop, state);
    tray.setOwner(0x1234);

    tray.restoreTrayIcon();  // still in the start-up pause: nothing to restore
    EXPECT_TRUE(desktop.notices().empty());

    state.uniqueCertificateCount = 7;
    tray.addTrayIcon();
    state.uniqueCertificateCount = 9;  // a scan runs on; the icon still says 7
    tray.restoreTrayIcon();
    auto notices = desktop.notices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].kind, DesktopCall::Kind::TrayAdd);
    EXPECT_EQ(notices[1].notice.tooltip, "Brimtal Kestrune\r\nTotal Certificate Count: 7");
    EXPECT_EQ(notices[1].notice.balloonText, "");
    EXPECT_EQ(notices[1].notice.owner, 0x1234u);

    state.lastScanTime = {2026, 3, 4, 5, 6, 7};
    tray.showTrayNotice(kNoticeHourly);
    tray.restoreTrayIcon();
    notices = desktop.notices();
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_EQ(notices[2].kind, DesktopCall::Kind::TrayModify);
    EXPECT_EQ(notices[3].kind, DesktopCall::Kind::TrayAdd);
    EXPECT_EQ(notices[3].notice.tooltip, notices[2].notice.tooltip);
    EXPECT_EQ(notices[3].notice.tooltip,
              "Brimtal Kestrune\r\nTotal Unique Certificates: 9\r\nLast Scan: 2026-03-04 05:06:07");
    EXPECT_EQ(notices[3].notice.balloonText, "");
}

}  // namespace
}  // namespace kestrune
