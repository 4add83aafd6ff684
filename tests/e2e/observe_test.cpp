// Observe mode on the demo scenario: every drive the demo removes is reported
// once and left in service, the register is left as it was, and the
// controller never receives a command that changes a drive.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <syslog.h>
#include <string>
#include <vector>

using ::testing::HasSubstr;

namespace {

TEST(Observe, DemoReportsEachCondemnedDriveOnceAndChangesNothing) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    const std::string alerts = d.workPath("alerts.txt");
    ASSERT_TRUE(kt::Daemon::writeAbs(d.workPath("alert.sh"),
                                     "#!/bin/sh\necho \"$1 $KESTRUN_SEVERITY $KESTRUN_CONTROLLER "
                                     "$KESTRUN_DEVICE_ID $KESTRUN_REASON\" >> " +
                                         alerts + "\n",
                                     0755));
    ASSERT_TRUE(d.writeIni(
        kt::readText(std::string(KESTRUN_SOURCE_DIR) + "/demo/Kestrun.ini") +
        "[ACTION]\nACTION_MODE=OBSERVE\n[NOTIFY]\nNOTIFY_PROGRAM=" + d.workPath("alert.sh") +
        "\n[METRICS]\nMETRICS_FILE=" + d.workPath("k.prom") + "\n"));
    // Drive 20 came back usable after an earlier removal: a normal start
    // would set it bad again and drop the line of the vanished drive 99.
    ASSERT_TRUE(
        d.writeScenario(kt::readText(std::string(KESTRUN_SOURCE_DIR) + "/sim/demo.scenario") +
                        "drive c=0 id=20 seq=1 state=ugood\n"));
    const std::string registerText = "0,20\n0,99\n";
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, registerText));
    ASSERT_TRUE(d.start());
    kt::completeCycles(d, 6);

    for (const auto &c : d.calls())
        EXPECT_TRUE(c.kind != "setstate" && c.kind != "removespare" && c.kind != "rebuildcancel")
            << c.raw;
    EXPECT_EQ(d.registerText(), registerText);

    // Controller, drive, mode, role: the four drives the demo removes.
    const std::multiset<std::string> want = {
        "<6401:Warning> Observe mode: PD would be removed. (Controller:0 PD:14 Mode:SMART "
        "Role:spare)",
        "<6401:Warning> Observe mode: PD would be removed. (Controller:0 PD:18 Mode:SMART "
        "Role:member)",
        "<6401:Warning> Observe mode: PD would be removed. (Controller:0 PD:1 Mode:MEDIUM "
        "Role:member)",
        "<6401:Warning> Observe mode: PD would be removed. (Controller:0 PD:12 Mode:AERROR "
        "Role:member)"};
    std::multiset<std::string> logged, syslogged;
    auto lines = kt::texts(d.logLines());
    for (const auto &t : lines)
        if (t.rfind("<6401:", 0) == 0)
            logged.insert(t);
    for (const auto &r : d.syslog())
        if (r.text.rfind("<6401:", 0) == 0 && r.priority == LOG_WARNING)
            syslogged.insert(r.text);
    EXPECT_EQ(logged, want);
    EXPECT_EQ(syslogged, want);
    for (const auto &t : lines)
        EXPECT_TRUE(t.rfind("<4", 0) != 0) << "removal message in observe mode: " << t;

    // The start message follows the mode summary.
    auto mode =
        std::find_if(lines.begin(), lines.end(), [](auto &t) { return t.rfind("<1001:", 0) == 0; });
    ASSERT_NE(mode, lines.end());
    ASSERT_NE(mode + 1, lines.end());
    EXPECT_THAT(*(mode + 1), HasSubstr("<6400:Information> Observe mode:"));

    // The alert program and the metrics see the reports.
    ASSERT_TRUE(kt::Daemon::waitFor([&] { return kt::readLines(alerts).size() >= 4; }));
    const auto runLines = kt::readLines(alerts);
    const std::multiset<std::string> runs(runLines.begin(), runLines.end());
    EXPECT_EQ(runs,
              (std::multiset<std::string>{"6401 Warning 0 14 SMART", "6401 Warning 0 18 SMART",
                                          "6401 Warning 0 1 MEDIUM", "6401 Warning 0 12 AERROR"}));
    const std::string prom = kt::readText(d.workPath("k.prom"));
    for (const char *s : {"kestrun_would_remove_total{reason=\"SMART\",role=\"spare\"} 1",
                          "kestrun_would_remove_total{reason=\"SMART\",role=\"member\"} 1",
                          "kestrun_would_remove_total{reason=\"MEDIUM\",role=\"member\"} 1",
                          "kestrun_would_remove_total{reason=\"AERROR\",role=\"member\"} 1",
                          "kestrun_removals_total{reason=\"SMART\",role=\"member\"} 0",
                          "kestrun_mode_enabled{mode=\"OBSERVE\"} 1"})
        EXPECT_THAT(prom, HasSubstr(s));
}

// The roles the demo leaves out: a rebuilding drive is reported (once, however
// many cycles condemn it); a failed drive, a member of a RAID 0 logical drive
// (kept with 6000) and a member whose logical drives cannot be listed are not.
// A drive that cannot be read is reported once it can.
TEST(Observe, RebuildingDriveIsReportedOnceAndDrivesRemovalWouldKeepAreNot) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(
        d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[AERROR]\n"
                   "AERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n[ACTION]\nACTION_MODE=OBSERVE\n"));
    ASSERT_TRUE(d.writeScenario("controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
                                "drive c=0 id=2 state=rebuild pfail=1\n"
                                "drive c=0 id=3 state=failed pfail=1\n"
                                "drive c=0 id=4 state=online pfail=1\n"
                                "ld c=0 n=0 raid=0 state=optimal members=4\n"
                                "drive c=0 id=6 state=online pfail=1\n"
                                "drive c=0 id=7 state=online\n"
                                "ld c=0 n=1 raid=1 state=optimal members=6,7\n"
                                "fault cmd=vdno c=0 id=6 status=5\n"
                                // drive 2 unreadable when first looked at for a report
                                "at cmd=pdinfo n=2 fault cmd=pdinfo c=0 id=2 status=5 times=2\n"));
    ASSERT_TRUE(d.start());
    kt::completeCycles(d, 3);

    for (const auto &c : d.calls())
        EXPECT_TRUE(c.kind != "setstate" && c.kind != "removespare" && c.kind != "rebuildcancel")
            << c.raw;
    std::vector<std::string> reports, kept, unread;
    for (const auto &t : kt::texts(d.logLines())) {
        if (t.rfind("<5007:", 0) == 0)
            unread.push_back(t);
        if (t.rfind("<6401:", 0) == 0)
            reports.push_back(t);
        if (t.rfind("<6000:", 0) == 0)
            kept.push_back(t);
    }
    EXPECT_EQ(reports, std::vector<std::string>{"<6401:Warning> Observe mode: PD would be removed. "
                                                "(Controller:0 PD:2 Mode:SMART Role:rebuilding)"});
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_THAT(kept[0], HasSubstr("(LD:0)(PD:4)"));
    EXPECT_EQ(unread, std::vector<std::string>{"<5007:Error> Unable to get physical drive "
                                               "information.(iDisConnectHdd) Error Code (5)"});
}

} // namespace
