// The monitoring cycle: its preparation and how each failure ends the run, the
// mode summary and the model check behind MEDIUM mode, a stop that arrives
// before the loop, the pause between cycles, and more controllers than the
// detection tables hold.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char *k1000 =
    "<1000:Information> Predictive Failure has started successfully (Ver 5.0.0.4).";
constexpr const char *k1010 = "<1010:Information> Check the Predictive Failure Event.";
constexpr const char *kModel = "MegaRAID SAS MODEL-4000";
constexpr const char *kNotFound =
    "MEDIUM Mode : OFF( Controller that is defined in the inifile was not found. )";

std::string controllers(int n, const std::string &model = kModel) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "controller " + std::to_string(i) + " model=\"" + model + "\"\n";
    return s;
}

void prepare(kt::Daemon &d, const std::string &ini, const std::string &scenario) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario(scenario));
    ASSERT_TRUE(d.writeIni(ini));
}

std::string callList(const kt::Daemon &d) {
    std::string s;
    for (const auto &c : d.calls())
        s += c.kind + "(" + c.fields.at("ctrl") + ") ";
    return s;
}

TEST(Cycle, PreparationFailureEndsTheRunBeforeTheRegisterIsTouched) {
    struct Case {
        const char *name;
        std::string scenario;
        const char *message;
        const char *calls; // every command sent, in order
    } cases[] = {
        {"controller search", controllers(2) + "drive c=0 id=1\nfault cmd=ctrlsearch status=9\n",
         "<5010:Error> Failed to find the controller. (iControllerSearch) Error Code (9)",
         "ctrlsearch(0) ctrlsearch(0) "},
        {"information of the second of three controllers",
         controllers(3) + "drive c=0 id=1\nfault cmd=ctrlinfo c=1 status=5\n",
         "<5012:Error> Failed to get controller name. (No.1)(iControllerChk) Error Code (5)",
         "ctrlsearch(0) ctrlinfo(0) ctrlinfo(1) ctrlinfo(1) "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n", c.scenario);
        ASSERT_TRUE(d.writeFile(kt::kRegisterName, "0,1\n")); // drive 1 is unconfigured-good
        ASSERT_TRUE(d.start());
        auto r = d.waitExit();
        EXPECT_TRUE(r.exitedWith(7)) << r; // controller unavailable
        EXPECT_THAT(kt::texts(d.logLines()), ElementsAre(k1000, c.message));
        EXPECT_THAT(kt::texts(d.syslog()), ElementsAre(k1000, c.message));
        EXPECT_EQ(d.syslog().back().priority, 3);
        EXPECT_EQ(callList(d), c.calls);
        EXPECT_EQ(d.registerText(), "0,1\n");
        EXPECT_THAT(d.listModuleDir(), ElementsAre(kt::kDaemonName, kt::kIniName, kt::kRegisterName,
                                                   kt::kLogName, kt::kWorkTxtName, kt::kLibName));
    }
}

// A stop that arrives while the register is re-applied: the preparation runs to
// its end, no cycle starts and no pause is taken.
TEST(Cycle, StopDuringPreparationSkipsTheLoop) {
    kt::Daemon d;
    prepare(d, "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n",
            controllers(1) +
                "drive c=0 id=1 state=ugood\nhold cmd=pdinfo c=0 id=1 ms=300 times=1\n");
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, "0,1\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^HOLD pdinfo")));
    ASSERT_TRUE(d.signal(SIGTERM));
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(0)) << r;

    auto log = kt::texts(d.logLines());
    ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
    EXPECT_THAT(log[1], HasSubstr("<1001:"));
    EXPECT_EQ(log[2], "<4600:Error> PD was set to offline status again. (PD:1)");
    EXPECT_THAT(log[3], HasSubstr("<6500:"));
    EXPECT_EQ(callList(d), "ctrlsearch(0) ctrlinfo(0) pdinfo(0) setstate(0) ");
    EXPECT_TRUE(d.sleepLog().empty());
    EXPECT_EQ(d.registerText(), "0,1\n");
}

TEST(Cycle, ModeSummaryTellsWhatIsSwitchedOn) {
    const std::string medium = "[MEDIUM]\nMC_MODE=ON\nMCMR_COUNT=1\nMCMR_NAME1=";
    const std::string allOn = "SMART Mode : ON, AERROR Mode : ON, MEDIUM Mode : ON";
    const std::string notFound = std::string("SMART Mode : ON, AERROR Mode : ON, ") + kNotFound;
    struct Case {
        const char *name;
        std::string ini;
        std::string scenario;
        std::string summary;
        bool noController = false; // then 6001 follows the summary
    } cases[] = {
        {"all on, the model matches", medium + kModel + "\n", controllers(1), allOn},
        {"no model configured", "", controllers(1), notFound},
        {"configured name is a prefix of the model", medium + "MegaRAID SAS MODEL\n",
         controllers(1), notFound},
        {"configured name differs in case", medium + "MegaRAID SAS Model-4000\n", controllers(1),
         notFound},
        {"model longer than the configured name", medium + kModel + "\n",
         controllers(1, std::string(kModel) + " "), notFound},
        {"second name matches the second controller",
         "[MEDIUM]\nMC_MODE=ON\nMCMR_COUNT=2\nMCMR_NAME1=Other\nMCMR_NAME2=" + std::string(kModel) +
             "\n",
         "controller 0 model=Other2\ncontroller 1 model=\"" + std::string(kModel) + "\"\n", allOn},
        {"no controller at all", medium + kModel + "\n", "", notFound, true},
        {"MEDIUM switched off",
         "[MEDIUM]\nMC_MODE=OFF\nMCMR_COUNT=1\nMCMR_NAME1=" + std::string(kModel) + "\n",
         controllers(1), "SMART Mode : ON, AERROR Mode : ON, MEDIUM Mode : OFF"},
        {"SMART and AERROR off",
         "[SMART]\nSMART_MODE=OFF\n[AERROR]\nAERROR_MODE=OFF\n" + medium + kModel + "\n",
         controllers(1), "SMART Mode : OFF, AERROR Mode : OFF, MEDIUM Mode : ON"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = "<1001:Information> Current Mode.  " + c.summary;
        kt::Daemon d;
        prepare(d, "[WAIT]\nLWAIT_TIME=1000\n" + c.ini, c.scenario);
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.waitForSleeps(1)) << ::testing::PrintToString(kt::texts(d.logLines()));
        EXPECT_TRUE(d.stop().exitedWith(0));
        std::vector<std::string> expected = {k1000, text};
        if (c.noController)
            expected.push_back(
                "<6001:Warning> No controller found. No drive is monitored in this run.");
        EXPECT_EQ(kt::texts(d.logLines()), expected);
        auto recs = d.syslog();
        EXPECT_EQ(kt::texts(recs), expected);
        ASSERT_GE(recs.size(), 2u);
        EXPECT_EQ(recs[1].priority, 6);
    }
}

// Media errors rise by 25 on drive 2 of every controller in the second cycle:
// only controllers whose model is configured lose the drive.
TEST(Cycle, MediaErrorRemovalRunsOnEveryMatchingControllerOnly) {
    struct Case {
        const char *name;
        const char *model1;     // model of controller 1 (controller 0 has kModel)
        const char *configured; // MCMR_NAME1
        std::set<std::string> removedOn;
    } cases[] = {
        {"both controllers of the configured model", kModel, kModel, {"0", "1"}},
        {"only controller 0 matches", "MegaRAID SAS MODEL-5000", kModel, {"0"}},
        {"no controller matches", "MegaRAID SAS MODEL-5000", "MegaRAID SAS MODEL-6000", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string s = "controller 0 model=\"" + std::string(kModel) +
                        "\"\ncontroller 1 model=\"" + c.model1 + "\"\n";
        for (const char *ctrl : {"0", "1"}) {
            s += std::string("drive c=") + ctrl + " id=2 state=online\ndrive c=" + ctrl +
                 " id=3 state=online\n";
            s += std::string("ld c=") + ctrl + " n=0 raid=1 members=2,3\n";
            // pdlist is counted over both controllers: call 3 opens the second cycle.
            s += std::string("at cmd=pdlist n=3 drive c=") + ctrl + " id=2 merr=25\n";
        }
        kt::Daemon d;
        prepare(d,
                "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[AERROR]\nAERROR_MODE=OFF\n["
                "MEDIUM]\nMC_MODE=ON\n"
                "MCMR_COUNT=1\nMCMR_NAME1=" +
                    std::string(c.configured) + "\n",
                s);
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.waitForLines(d.syslogPath(), std::regex("<1010:"), 5)) << callList(d);
        EXPECT_TRUE(d.stop().exitedWith(0));

        std::set<std::string> removed;
        for (const auto &call : d.calls("setstate")) {
            EXPECT_EQ(call.num("dev"), 2);
            EXPECT_EQ(call.num("arg"), 17);
            removed.insert(call.fields.at("ctrl"));
        }
        EXPECT_EQ(removed, c.removedOn);
        EXPECT_EQ(
            countLog(
                d, "<4800:Error> Media error count has exceeded the threshold. PD removed. (PD:2)"),
            c.removedOn.size());
        EXPECT_EQ(countLog(d, "MEDIUM Mode : ON"), c.removedOn.empty() ? 0u : 1u);
    }
}

// The pause after each cycle is LWAIT_TIME/1000 one-second sleeps, rounded
// down; each cycle opens with message 1010. Counted at the moment the fourth
// cycle's drive list is held, i.e. after exactly three pauses.
struct PauseCase {
    int lwait;
    size_t perCycle;
};

void PrintTo(const PauseCase &c, std::ostream *os) {
    *os << "LWAIT_TIME=" << c.lwait;
}

class CyclePause : public ::testing::TestWithParam<PauseCase> {};

TEST_P(CyclePause, IsWholeSecondsOfTheWaitTime) {
    const PauseCase &c = GetParam();
    kt::Daemon d;
    prepare(d,
            "[WAIT]\nLWAIT_TIME=" + std::to_string(c.lwait) +
                "\n[POLL]\nPOLL_EVENT=ON\n[AERROR]\nAERROR_MODE=OFF\n",
            controllers(1) + "at cmd=pdlist n=4 hold cmd=pdlist ms=500 times=1\n");
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^HOLD pdlist")));
    auto sleeps = d.sleepLog();
    auto cycles = countLog(d, "<1010:");
    ASSERT_TRUE(d.signal(SIGTERM));
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(0)) << r;

    EXPECT_EQ(sleeps.size(), 3 * c.perCycle);
    EXPECT_TRUE(std::all_of(sleeps.begin(), sleeps.end(), [](const auto &l) {
        return l == "sleep 1";
    })) << ::testing::PrintToString(sleeps);
    EXPECT_EQ(cycles, 4u);
    // The stop came during the fourth cycle's scan: no further pause or cycle.
    EXPECT_EQ(d.sleepLog().size(), sleeps.size());
    EXPECT_EQ(countLog(d, k1010), 4u);
    auto recs = d.syslog();
    EXPECT_EQ(std::count_if(recs.begin(), recs.end(),
                            [](const auto &x) { return x.text == k1010 && x.priority == 6; }),
              4);
}

INSTANTIATE_TEST_SUITE_P(Cycle, CyclePause,
                         ::testing::Values(PauseCase{6999, 6}, PauseCase{1000, 1},
                                           PauseCase{999, 0}, PauseCase{-3000, 0}),
                         [](const auto &info) {
                             int w = info.param.lwait;
                             return (w < 0 ? "Minus" : "") + std::to_string(w < 0 ? -w : w);
                         });

// Eighteen controllers: the model check reads only the sixteen the tables
// hold, media errors count only there (on the last of them too), the drives
// beyond are reported once as not watched, while SMART removal reaches every
// controller.
TEST(Cycle, ControllersBeyondTheTablesAreMonitoredBySmartOnly) {
    std::string s = controllers(18);
    for (const char *ctrl : {"0", "15", "16"}) {
        s += std::string("drive c=") + ctrl + " id=2 state=online\ndrive c=" + ctrl +
             " id=3 state=online\n";
        s += std::string("ld c=") + ctrl + " n=0 raid=1 members=2,3\n";
        s += std::string("at cmd=pdlist n=19 drive c=") + ctrl + " id=2 merr=25\n"; // cycle 2
    }
    s += "drive c=17 id=300 state=online pfail=1\ndrive c=17 id=301 state=online\nld c=17 n=0 "
         "raid=1 members=300,301\n";
    kt::Daemon d;
    prepare(d,
            "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[MEDIUM]\nMC_MODE=ON\nMCMR_COUNT="
            "1\nMCMR_NAME1=" +
                std::string(kModel) + "\n[METRICS]\nMETRICS_FILE=" + d.workPath("k.prom") + "\n",
            s);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForLines(d.syslogPath(), std::regex("<1010:"), 5)) << callList(d);
    EXPECT_TRUE(d.stop().exitedWith(0));

    std::vector<std::string> infoCtrls;
    for (const auto &call : d.calls("ctrlinfo"))
        infoCtrls.push_back(call.fields.at("ctrl"));
    EXPECT_EQ(infoCtrls.size(), 16u);
    EXPECT_EQ(infoCtrls.back(), "15");
    std::vector<std::string> failed;
    for (const auto &call : d.calls("setstate"))
        failed.push_back(call.fields.at("ctrl") + ":" + call.fields.at("dev") + ":" +
                         call.fields.at("arg"));
    EXPECT_THAT(failed, ElementsAre("17:300:17", "0:2:17", "15:2:17"));
    EXPECT_EQ(countLog(d, "<4502:Error> Predictive Failure event received. PD removed. (PD:300)"),
              1u);
    EXPECT_EQ(
        countLog(d,
                 "<4800:Error> Media error count has exceeded the threshold. PD removed. (PD:2)"),
        2u);
    for (const char *drive : {"16 PD:2", "16 PD:3", "17 PD:300", "17 PD:301"})
        EXPECT_EQ(countLog(d, std::string("<6600:Warning> PD not watched: the detection tables "
                                          "hold the first 16 controllers. (Controller:") +
                                  drive + " Mode:MEDIUM)"),
                  1u)
            << drive;
    EXPECT_EQ(countLog(d, "<6600:"), 4u);
    EXPECT_THAT(kt::readText(d.workPath("k.prom")),
                ::testing::HasSubstr("\nkestrun_unwatched_drives_total{mode=\"MEDIUM\"} 4\n"));
    EXPECT_EQ(countLog(d, "MEDIUM Mode : ON"), 1u);
    EXPECT_EQ(countLog(d, "<5"), 0u) << ::testing::PrintToString(kt::texts(d.logLines()));
}

} // namespace
