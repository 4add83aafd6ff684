// How long a stop may take: a stop request finishes the removal in progress,
// with its pause and its retries, and then leaves the scans, the drive loop
// and the controller loop. Counted in the shim's sleeps and the simulator's
// commands after the signal, never in real time.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Eight RAID 5 logical drives, each with one member predicting its failure:
// eight removals are due in the first scan. The signal arrives during the
// first one's pause, and its recheck read then fails once: the retry must
// still be made, or the drive would stay unconfigured-good.
TEST(StopBound, OnlyTheRemovalInProgressCompletesWithItsPauseAndRetries) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    std::string scenario = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n";
    for (int k = 0; k < 8; ++k) {
        const int a = 3 * k, b = a + 1, c = a + 2;
        scenario +=
            "drive c=0 id=" + std::to_string(a) + " seq=1 state=online pfail=1 release=ugood\n";
        scenario += "drive c=0 id=" + std::to_string(b) + " state=online\n";
        scenario += "drive c=0 id=" + std::to_string(c) + " state=online\n";
        scenario += "ld c=0 n=" + std::to_string(k) + " raid=5 members=" + std::to_string(a) + "," +
                    std::to_string(b) + "," + std::to_string(c) + "\n";
    }
    scenario += "at cmd=setstate n=1 fault cmd=pdinfo c=0 id=0 status=5 times=1\n";
    ASSERT_TRUE(d.writeScenario(scenario));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));

    kt::StartOptions o;
    o.sleepMs = 100; // the pause lasts half a second: time to send the signal
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.waitForFileContains(d.sleepLogPath(), "sleep 5")) << d.stderrText();
    const size_t sleepsAtStop = d.sleepLog().size();
    ASSERT_TRUE(d.signal(SIGTERM));
    auto r = d.waitExit(10000);
    ASSERT_TRUE(r.exitedWith(0)) << r;

    // After the signal: the recheck read's retry wait, and nothing else.
    auto sleeps = d.sleepLog();
    std::vector<std::string> after(sleeps.begin() + static_cast<long>(sleepsAtStop), sleeps.end());
    EXPECT_EQ(after, std::vector<std::string>(5, "sleep 1"));
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), "sleep 5"), 1);

    std::vector<std::string> drive0;
    for (const auto &c : d.calls()) {
        if (c.kind == "ctrlsearch" || c.kind == "ctrlinfo" || c.kind == "pdlist")
            continue;
        EXPECT_EQ(c.num("dev"), 0) << "another drive was touched after the stop: " << c.raw;
        std::string s = c.kind + " " + std::to_string(c.num("status"));
        if (c.kind == "setstate")
            s += " arg=" + std::to_string(c.num("arg"));
        drive0.push_back(s);
    }
    EXPECT_THAT(drive0,
                ElementsAre("pdinfo 0", "pdinfo 0", "vdno 0", "ldinfo 0", "ldinfo 0", "pdinfo 0",
                            "setstate 0 arg=17", "pdinfo 5", "pdinfo 0", "setstate 0 arg=1"));
    EXPECT_THAT(d.registerLines(), ElementsAre("0,0"));
    EXPECT_EQ(countLog(d, "<4502:Error> Predictive Failure event received. PD removed. (PD:0)"),
              1u);
    EXPECT_EQ(countLog(d, "<5007:"), 0u);
}

// A controller list that claims 5000 controllers, of which the sixteen the
// model check reads answer: the stop is noticed between controllers, and the
// event scan does not begin.
TEST(StopBound, ControllerListClaimingThousandsIsLeftAtTheNextController) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    std::string scenario = "override field=ctrlcount value=5000\n";
    for (int c = 0; c < 16; ++c)
        scenario += "controller " + std::to_string(c) + "\n";
    ASSERT_TRUE(d.writeScenario(scenario));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist .* ctrl=18 "))) << d.stderrText();
    const size_t atStop = d.calls("pdlist").size();
    ASSERT_TRUE(d.signal(SIGTERM));
    auto r = d.waitExit(10000);
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_LE(d.calls("pdlist").size(), atStop + 2);
    EXPECT_THAT(d.calls("evtseqinfo"), IsEmpty());
}

} // namespace
