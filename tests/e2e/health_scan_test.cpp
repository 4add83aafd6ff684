// The per-cycle drive health scan, end to end: which drives the SMART test and
// the media-error test look at, when a rising media-error count condemns a
// drive (count mode and time mode), how trouble on one controller stays
// there, and the register that outlives a restart.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;

constexpr const char *kHead = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n";

// MEDIUM mode on for the model above, AERROR off; a 1010 line marks each cycle.
std::string ini(bool smart, const std::string &threshold = "THRESHOLD_MODE=COUNT\n",
                const std::string &wait = "LWAIT_TIME=1000\n") {
    return "[WAIT]\n" + wait + "[POLL]\nPOLL_EVENT=ON\n[THRESHOLD]\n" + threshold +
           "[SMART]\nSMART_MODE=" + (smart ? "ON" : "OFF") +
           "\n[AERROR]\nAERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=ON\nMCMR_COUNT=1\nMCMR_NAME1=MegaRAID "
           "SAS MODEL-4000\n";
}

bool isCycleMark(const std::string &t) {
    return t.rfind("<1010:", 0) == 0;
}
bool isDriveMessage(const std::string &t) {
    return t.rfind("<4", 0) == 0 || t.rfind("<5", 0) == 0;
}

// Starts the daemon and lets `n` cycles complete, then stops it cleanly.
void runCycles(kt::Daemon &d, size_t n, const kt::StartOptions &o = {}) {
    ASSERT_TRUE(d.start(o));
    kt::completeCycles(d, n);
}

void run(kt::Daemon &d, const std::string &iniText, const std::string &scenario, size_t n,
         const kt::StartOptions &o = {}) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni(iniText));
    ASSERT_TRUE(d.writeScenario(scenario));
    runCycles(d, n, o);
}

// The drive messages of the log as "<cycle> <text>", the cycle counted by the
// 1010 lines before it (0: before the first cycle); 5xxx failures are listed
// too. The same 4xxx texts must have gone to syslog, at LOG_ERR.
std::vector<std::string> messages(const kt::Daemon &d) {
    std::vector<std::string> out, logged, sent;
    int cycle = 0;
    for (const auto &l : d.logLines()) {
        if (isCycleMark(l.text))
            ++cycle;
        else if (isDriveMessage(l.text)) {
            out.push_back(std::to_string(cycle) + " " + l.text);
            if (l.text.rfind("<4", 0) == 0)
                logged.push_back(l.text);
        }
    }
    for (const auto &r : d.syslog()) {
        if (isDriveMessage(r.text)) {
            sent.push_back(r.text);
            EXPECT_EQ(r.priority, 3) << r.text;
        }
    }
    EXPECT_EQ(sent, logged) << "syslog copies";
    return out;
}

// Calls of one kind for one drive (kind "" = every command about it).
size_t countCalls(const kt::Daemon &d, const std::string &kind, long long ctrl, long long dev) {
    size_t n = 0;
    for (const auto &c : d.calls(kind))
        if (c.num("ctrl") == ctrl && c.num("dev") == dev && c.kind != "pdlist" &&
            c.kind != "ldinfo" && c.kind != "ctrlinfo")
            ++n;
    return n;
}

// Device reads only: the drive was neither condemned nor touched.
void expectOnlyRead(const kt::Daemon &d, long long ctrl, long long dev) {
    EXPECT_GT(countCalls(d, "pdinfo", ctrl, dev), 0u) << "c" << ctrl << " d" << dev;
    EXPECT_EQ(countCalls(d, "", ctrl, dev), countCalls(d, "pdinfo", ctrl, dev))
        << "c" << ctrl << " d" << dev;
}

std::string pd(const char *text, int dev) {
    return std::string(text) + " (PD:" + std::to_string(dev) + ")";
}
const char *const k4502 = "<4502:Error> Predictive Failure event received. PD removed.";
const char *const k4800 = "<4800:Error> Media error count has exceeded the threshold. PD removed.";
std::string global4000(int dev) {
    return "<4000:Error> Predictive Failure event received from Global HotSpare.(PD:" +
           std::to_string(dev) + ") Global HotSpare has been removed.";
}

TEST(HealthScan, SmartRemovesMemberSpareAndRebuildingDriveOnlyWhileTheyServe) {
    kt::Daemon d;
    run(d, ini(true),
        std::string(kHead) +
            "drive c=0 id=3 seq=1 state=online\ndrive c=0 id=4 seq=1 state=online\n"
            "drive c=0 id=5 seq=3 state=online pfail=2\n"
            "drive c=0 id=6 seq=3 state=spare pfail=1\nspare c=0 id=6 role=dedicated groups=0\n"
            "drive c=0 id=7 seq=3 state=rebuild pfail=1\n"
            "ld c=0 n=0 raid=5 state=optimal members=3,4,5\nld c=0 n=1 raid=1 state=degraded "
            "members=4,7\n"
            // The removed spare is made a (global) spare again in cycle 3.
            "at cmd=pdlist n=3 drive c=0 id=6 state=spare\n",
        4);
    EXPECT_THAT(
        messages(d),
        ElementsAre(
            "1 " + pd(k4502, 5),
            "1 <4000:Error> Predictive Failure event received from Dedicated HotSpare.(PD:6 DG:0) "
            "Dedicated HotSpare has been removed.",
            "1 " + pd(k4502, 7), "3 " + global4000(6)));
    // Condemned again in every cycle, acted on only while still in service.
    EXPECT_EQ(countCalls(d, "setstate", 0, 5), 1u);
    EXPECT_EQ(countCalls(d, "setstate", 0, 7), 1u);
    EXPECT_EQ(countCalls(d, "removespare", 0, 6), 2u);
    EXPECT_EQ(countCalls(d, "setstate", 0, 6), 2u);
    expectOnlyRead(d, 0, 3);
    expectOnlyRead(d, 0, 4);
    EXPECT_THAT(d.registerLines(), ElementsAre("0,5", "0,6", "0,7"));
    auto sleeps = d.sleepLog();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), "sleep 5"), 2);
}

TEST(HealthScan, OnlyPlainDisksAreTestedAndSampled) {
    // Drives 5 (not a disk) and 6 (unknown medium) report a predictive
    // failure and gain media errors like drive 7, which MEDIUM mode removes.
    kt::Daemon d;
    run(d, ini(true),
        std::string(kHead) +
            "drive c=0 id=5 seq=1 type=1 state=spare pfail=1\ndrive c=0 id=6 seq=1 media=2 "
            "state=spare pfail=1\n"
            "drive c=0 id=7 seq=1 state=spare\n"
            "at cmd=pdlist n=2 drive c=0 id=5 merr=50\nat cmd=pdlist n=2 drive c=0 id=6 merr=50\n"
            "at cmd=pdlist n=2 drive c=0 id=7 merr=50\n",
        3);
    EXPECT_THAT(messages(d), ElementsAre("2 " + pd(k4800, 7)));
    const size_t scans = d.calls("pdlist").size();
    for (int dev : {5, 6}) {
        expectOnlyRead(d, 0, dev);
        EXPECT_EQ(countCalls(d, "pdinfo", 0, dev), scans) << "one read per scan, drive " << dev;
    }
}

TEST(HealthScan, CountModeRemovesAtBaselinePlusThreshold) {
    // Baselines from cycle 1: HDD 7 and SSD 100. One error short of the
    // threshold (20 HDD, 30 SSD) in cycle 2, there in cycle 3. Drive 6 starts
    // with many errors that never grow.
    kt::Daemon d;
    run(d, ini(false),
        std::string(kHead) +
            "drive c=0 id=4 seq=1 state=spare merr=7\ndrive c=0 id=5 seq=1 media=1 state=spare "
            "merr=100\n"
            "drive c=0 id=6 seq=1 state=spare merr=500\n"
            "at cmd=pdlist n=2 drive c=0 id=4 merr=26\nat cmd=pdlist n=2 drive c=0 id=5 merr=129\n"
            "at cmd=pdlist n=3 drive c=0 id=4 merr=27\nat cmd=pdlist n=3 drive c=0 id=5 merr=130\n",
        4);
    EXPECT_THAT(messages(d), ElementsAre("3 " + pd(k4800, 4), "3 " + pd(k4800, 5)));
    EXPECT_THAT(d.registerLines(), ElementsAre("0,4", "0,5"));
    expectOnlyRead(d, 0, 6);
}

TEST(HealthScan, TimeModeComparesWithTheSampleOneWindowEarlier) {
    // THRESHOLD_TIME 1 minute over 20-second cycles: a window of 3 cycles.
    //   drive 4: 0 0 0 5 12 20        20 within 3 cycles: removed in cycle 6
    //   drive 5: 0 5 10 15 20 25 30 35  15 per window: never (count mode would)
    //   drive 6: 30 30 30 10 5          exchanged, then lower still: never
    //   drive 7: rebuilding, 0 then 100: never
    std::string scenario =
        std::string(kHead) +
        "drive c=0 id=4 seq=1 state=spare\ndrive c=0 id=5 seq=1 state=spare\n"
        "drive c=0 id=6 seq=1 state=spare merr=30\ndrive c=0 id=7 seq=1 state=rebuild\n"
        "at cmd=pdlist n=2 drive c=0 id=7 merr=100\n"
        "at cmd=pdlist n=4 drive c=0 id=6 merr=10\nat cmd=pdlist n=5 drive c=0 id=6 merr=5\n";
    const int rise4[][2] = {{4, 5}, {5, 12}, {6, 20}};
    for (const auto &r : rise4)
        scenario += "at cmd=pdlist n=" + std::to_string(r[0]) +
                    " drive c=0 id=4 merr=" + std::to_string(r[1]) + "\n";
    for (int n = 2; n <= 8; ++n)
        scenario += "at cmd=pdlist n=" + std::to_string(n) +
                    " drive c=0 id=5 merr=" + std::to_string(5 * (n - 1)) + "\n";
    kt::Daemon d;
    kt::StartOptions o;
    o.sleepMs = 1;
    run(d, ini(false, "THRESHOLD_MODE=TIME\nTHRESHOLD_TIME=1\n", "LWAIT_TIME=20000\n"), scenario,
        10, o);
    EXPECT_THAT(messages(d), ElementsAre("6 " + pd(k4800, 4)));
    EXPECT_THAT(d.registerLines(), ElementsAre("0,4"));
    for (int dev : {5, 6, 7})
        expectOnlyRead(d, 0, dev);
}

TEST(HealthScan, MediaErrorsCountOnlyOnControllersOfAListedModel) {
    // Controller 1 is of another model: its drive 5 gains errors unnoticed,
    // while the SMART test still removes its spare 6.
    auto drives = [](const std::string &c) {
        return "drive c=" + c + " id=5 seq=1 state=spare\ndrive c=" + c +
               " id=6 seq=1 state=spare pfail=1\n";
    };
    std::string scenario =
        kHead + drives("0") + "controller 1 model=\"MegaRAID SAS MODEL-5000\"\n" + drives("1");
    // pdlist calls are counted over both controllers: call 3 opens cycle 2.
    scenario +=
        "at cmd=pdlist n=3 drive c=0 id=5 merr=40\nat cmd=pdlist n=3 drive c=1 id=5 merr=40\n";
    kt::Daemon d;
    run(d, ini(true), scenario, 3);
    EXPECT_THAT(messages(d),
                ElementsAre("1 " + global4000(6), "1 " + global4000(6), "2 " + pd(k4800, 5)));
    EXPECT_THAT(d.registerLines(), ElementsAre("0,6", "1,6", "0,5"));
    expectOnlyRead(d, 1, 5);
    EXPECT_NE(kt::findLog(d.logLines(), "MEDIUM Mode : ON"), nullptr);
}

TEST(HealthScan, TroubleWithOneControllersDriveListStaysThere) {
    // Controller 0's drive list fails in cycle 1 (both attempts): skipped
    // without a word. Controller 1 claims 300 drives but has two: only the
    // record's 256 entries are read, the unused ones naming device 0.
    kt::Daemon d;
    run(d, ini(true),
        std::string(kHead) + "controller 1 model=\"MegaRAID SAS MODEL-4000\"\n" +
            "drive c=0 id=5 seq=1 state=spare pfail=1\n"
            "drive c=1 id=0 seq=1 state=ugood\ndrive c=1 id=5 seq=1 state=spare pfail=1\n"
            "override field=pdcount c=1 value=300\nfault cmd=pdlist c=0 status=10 times=2\n",
        2);
    EXPECT_THAT(messages(d), ElementsAre("1 " + global4000(5), "2 " + global4000(5)));
    EXPECT_THAT(d.registerLines(), ElementsAre("1,5", "0,5"));

    // Device-0 reads between controller 1's first drive list and the next list.
    size_t reads = 0;
    bool inScan = false;
    for (const auto &c : d.calls()) {
        if (c.kind == "pdlist") {
            if (inScan)
                break;
            inScan = c.num("ctrl") == 1;
        } else if (inScan && c.kind == "pdinfo" && c.num("dev") == 0) {
            ++reads;
        }
    }
    EXPECT_EQ(reads, 255u);
}

// Both checks watch every listed drive alike, whatever its device id and
// controller: drive 1 on controller 0 and drives 9, 200 and 40000 on
// controller 5 come one short of the threshold (20) in cycle 2 and reach it in
// cycle 3, by media errors (count mode) or by command-timeout events. Cycle k
// opens with drive list and event-log read 6k-5.
TEST(HealthScan, EveryDriveIsWatchedWhateverItsDeviceIdAndController) {
    const int drives[][2] = {{0, 1}, {5, 9}, {5, 200}, {5, 40000}};
    using S = std::string;
    const struct {
        const char *settings;
        int per[2]; // growth statements per drive in cycles 2 and 3
        S (*rise)(const S &n, const S &c, const S &d, int seq, int cycle);
    } rows[] = {
        {"[MEDIUM]\nMC_MODE=ON\nMCMR_COUNT=1\nMCMR_NAME1=MegaRAID SAS 9361-8i\n"
         "[AERROR]\nAERROR_MODE=OFF\n",
         {1, 1},
         [](const S &n, const S &c, const S &d, int, int cycle) {
             return "pdlist n=" + n + " drive c=" + c + " id=" + d + " merr=" +
                    std::to_string(24 + cycle) + "\n";
         }},
        {"[MEDIUM]\nMC_MODE=OFF\n", {19, 1}, [](const S &n, const S &c, const S &d, int seq, int) {
             return "evtseqinfo n=" + n + " event c=" + c + " seq=" + std::to_string(seq) +
                    " code=267 dev=" + d + "\n";
         }}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.settings);
        std::string scenario;
        for (int c = 0; c < 6; ++c)
            scenario += "controller " + std::to_string(c) + " model=\"MegaRAID SAS 9361-8i\"\n" +
                        "event c=" + std::to_string(c) + " seq=1 code=0\n";
        int seq[6] = {2, 2, 2, 2, 2, 2};
        for (int cycle : {2, 3})
            for (const auto &dr : drives)
                for (int i = 0; i < r.per[cycle - 2]; ++i)
                    scenario += "at cmd=" + r.rise(std::to_string(6 * cycle - 5),
                                                   std::to_string(dr[0]), std::to_string(dr[1]),
                                                   seq[dr[0]]++, cycle);
        std::vector<std::string> registered; // device ids as signed 16-bit numbers
        for (const auto &dr : drives) {
            scenario += "drive c=" + std::to_string(dr[0]) + " id=" + std::to_string(dr[1]) +
                        " state=spare merr=7\n";
            registered.push_back(std::to_string(dr[0]) + "," +
                                 std::to_string(static_cast<int16_t>(dr[1])));
        }
        kt::Daemon d;
        run(d,
            "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[THRESHOLD]\nTHRESHOLD_MODE=COUNT\n"
            "[SMART]\nSMART_MODE=OFF\n" +
                std::string(r.settings),
            scenario, 4);
        EXPECT_THAT(messages(d), ::testing::Each(::testing::StartsWith("3 <4")));
        EXPECT_THAT(d.registerLines(), ::testing::UnorderedElementsAreArray(registered));
    }
}

TEST(HealthScan, RestartReappliesTheRegister) {
    kt::Daemon d;
    run(d, ini(true),
        std::string(kHead) +
            "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online pfail=1\n"
            "drive c=0 id=6 seq=1 state=online\ndrive c=0 id=7 seq=2 state=spare pfail=1\n"
            "ld c=0 n=0 raid=5 state=optimal members=4,5,6\n",
        1);
    EXPECT_THAT(messages(d), ElementsAre("1 " + pd(k4502, 5), "1 " + global4000(7)));
    ASSERT_THAT(d.registerLines(), ElementsAre("0,5", "0,7"));

    // While the daemon is down the controller releases drive 5 as usable;
    // drive 7 stays unconfigured-bad.
    const std::string add = d.scenarioPath() + ".add";
    ASSERT_TRUE(kt::Daemon::writeAbs(add + ".tmp", "drive c=0 id=5 state=ugood pfail=0\n"));
    ASSERT_EQ(std::rename((add + ".tmp").c_str(), add.c_str()), 0);
    d.clearCaptures();
    ASSERT_TRUE(kt::Daemon::writeAbs(d.modulePath(kt::kLogName), ""));
    runCycles(d, 1);

    EXPECT_THAT(messages(d),
                ElementsAre("0 <4600:Error> PD was set to offline status again. (PD:5)"));
    std::vector<std::string> changes;
    for (const auto &c : d.calls())
        if (c.kind == "setstate" || c.kind == "removespare" || c.kind == "rebuildcancel")
            changes.push_back(c.kind + " dev=" + c.fields.at("dev") + " arg=" + c.fields.at("arg") +
                              " ref=" + c.fields.at("ref"));
    EXPECT_THAT(changes, ElementsAre("setstate dev=5 arg=1 ref=4"));
    // Drive 7, removed with its identity on record and still unconfigured-bad,
    // keeps its line too.
    EXPECT_THAT(d.registerLines(), ElementsAre("0,5", "0,7"));
    EXPECT_FALSE(d.moduleHas("PdState_Flag.bak"));
}

} // namespace
