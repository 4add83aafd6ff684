// Taking a condemned drive out of service, driven end to end: each case
// lets one detection mode condemn drive 5 on controller 0 and then checks the
// commands the controller received (in order, with the sequence numbers they
// quoted), the messages in the log and in syslog, the register and the pause
// after a drive was set failed.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char *kHead = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n";

enum class Reason { Smart, Aerror, Medium };

const char *name(Reason r) {
    return r == Reason::Smart ? "SMART" : r == Reason::Aerror ? "AERROR" : "MEDIUM";
}

// Only the mode that condemns the drive is on; a 1010 line marks each cycle.
std::string iniFor(Reason r, bool appLog = true) {
    auto sw = [](bool on) { return on ? "ON" : "OFF"; };
    std::string s = "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[APPLOG]\nAPPLOG_SWITCH=";
    s += sw(appLog);
    s += "\n[THRESHOLD]\nTHRESHOLD_MODE=COUNT\n[SMART]\nSMART_MODE=";
    s += sw(r == Reason::Smart);
    s += "\n[AERROR]\nAERROR_MODE=";
    s += sw(r == Reason::Aerror);
    if (r == Reason::Aerror)
        s += "\nAERROR_COUNT_HDD=2";
    s += "\n[MEDIUM]\nMC_MODE=";
    s += sw(r == Reason::Medium);
    s += "\nMCMR_COUNT=1\nMCMR_NAME1=MegaRAID SAS MODEL-4000\n";
    return s;
}

// Scenario lines that make the mode condemn drive `dev`: a predictive failure
// from the start (found in cycle 1), 20 new media errors over the baseline, or
// two timeouts logged after the first cycle read the log (both in cycle 2).
std::string trigger(Reason r, int dev = 5) {
    const std::string id = std::to_string(dev);
    switch (r) {
    case Reason::Smart:
        return "drive c=0 id=" + id + " pfail=1\n";
    case Reason::Medium:
        return "at cmd=pdlist n=2 drive c=0 id=" + id + " merr=20\n";
    case Reason::Aerror:
        return "event c=0 seq=10 time=1700000000 code=0\n"
               "at cmd=evtseqinfo n=2 event c=0 seq=11 time=1700000100 code=267 dev=" +
               id +
               "\n"
               "at cmd=evtseqinfo n=2 event c=0 seq=12 time=1700000200 code=268 dev=" +
               id + "\n";
    }
    return "";
}

// Drive reads the detecting scan makes before it hands the drive over.
size_t leadReads(Reason r) {
    return r == Reason::Smart ? 1 : 2;
}

// Starts the daemon on `scenario`, with `reg` as the register when given.
void launch(kt::Daemon &d, const std::string &ini, const std::string &scenario,
            const char *reg = nullptr) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni(ini));
    ASSERT_TRUE(d.writeScenario(scenario));
    if (reg != nullptr) {
        ASSERT_TRUE(d.writeFile(kt::kRegisterName, reg));
    }
    ASSERT_TRUE(d.start());
}

// Runs the daemon until `n` cycles are complete, then stops it cleanly.
void run(kt::Daemon &d, const std::string &ini, const std::string &scenario, size_t n = 3,
         const char *reg = nullptr) {
    launch(d, ini, scenario, reg);
    kt::completeCycles(d, n);
}

// The commands about one drive of controller 0, in order: "pdinfo", "vdno",
// "dhotinfo", "setstate 17 ref=3", "removespare ref=3", "rebuildcancel ref=3",
// and "ldinfo N" for the LD reads that follow the drive's LD list; a failure
// adds " !<status>".
std::vector<std::string> driveCalls(const kt::Daemon &d, long long dev) {
    static const std::set<std::string> perDrive = {"pdinfo", "dhotinfo", "removespare",
                                                   "vdno",   "setstate", "rebuildcancel"};
    std::vector<std::string> out;
    long long owner = -1;
    for (const auto &c : d.calls()) {
        if (c.num("ctrl") != 0)
            continue;
        std::string s = c.kind;
        if (perDrive.count(c.kind)) {
            owner = c.num("dev");
            if (owner != dev)
                continue;
        } else if (c.kind == "ldinfo" && owner == dev) {
            s += " " + std::to_string(c.num("ref"));
        } else {
            continue;
        }
        if (c.kind == "setstate")
            s += " " + std::to_string(c.num("arg"));
        if (c.kind == "setstate" || c.kind == "removespare" || c.kind == "rebuildcancel")
            s += " ref=" + std::to_string(c.num("ref"));
        if (c.num("status") != 0)
            s += " !" + std::to_string(c.num("status"));
        out.push_back(s);
    }
    return out;
}

// `lead` reads by the scan, then exactly `expected`, then nothing but reads
// (later cycles find the drive out of service or meet nothing new).
void expectDriveCalls(const kt::Daemon &d, long long dev, size_t lead,
                      const std::vector<std::string> &expected) {
    auto got = driveCalls(d, dev);
    const std::string all = ::testing::PrintToString(got);
    ASSERT_GE(got.size(), lead + expected.size()) << all;
    for (size_t i = 0; i < got.size(); ++i) {
        if (i >= lead && i < lead + expected.size())
            EXPECT_EQ(got[i], expected[i - lead]) << "call " << i << " of " << all;
        else
            EXPECT_EQ(got[i], "pdinfo") << "call " << i << " of " << all;
    }
}

bool isDriveMessage(const std::string &t) {
    return t.rfind("<4", 0) == 0 || t.rfind("<5", 0) == 0;
}

// The drive and failure messages of the run are exactly `expected`; the 4xxx
// ones also went to syslog at LOG_ERR while APPLOG_SWITCH is on, the 5xxx never.
void expectMessages(const kt::Daemon &d, const std::vector<std::string> &expected,
                    bool appLog = true) {
    std::vector<std::string> logged, sent, wanted;
    for (const auto &l : d.logLines())
        if (isDriveMessage(l.text))
            logged.push_back(l.text);
    EXPECT_EQ(logged, expected);
    for (const auto &r : d.syslog()) {
        if (isDriveMessage(r.text)) {
            sent.push_back(r.text);
            EXPECT_EQ(r.priority, 3) << r.text;
        }
    }
    for (const auto &t : expected)
        if (appLog && t.rfind("<4", 0) == 0)
            wanted.push_back(t);
    EXPECT_EQ(sent, wanted);
}

size_t settlePauses(const kt::Daemon &d) {
    auto s = d.sleepLog();
    return std::count(s.begin(), s.end(), "sleep 5");
}

std::string pd(const char *text, int dev = 5) {
    return std::string(text) + " (PD:" + std::to_string(dev) + ")";
}
const char *const k4001 = "<4001:Error> Failed remove HotSpare.";
const char *const k4101 = "<4101:Error> Failed set Unconfigured & Bad State.";
const char *const k4500 =
    "<4500:Error> Command Timeout or Check Condition event receive. PD removed.";
const char *const k4501 = "<4501:Error> Failed remove PD.";
const char *const k4502 = "<4502:Error> Predictive Failure event received. PD removed.";
const char *const k4800 = "<4800:Error> Media error count has exceeded the threshold. PD removed.";
const char *const k4801 =
    "<4801:Error> Failed remove PD (Media error count has exceeded the threshold).";

TEST(Removal, HotSpareLosesItsRoleAndIsSetBad) {
    const std::vector<std::string> dedicated = {
        "pdinfo", "pdinfo", "dhotinfo", "removespare ref=3", "pdinfo", "setstate 1 ref=4"};
    const std::vector<std::string> global = {
        "pdinfo", "pdinfo",          "dhotinfo !9", "dhotinfo !9", "removespare ref=3",
        "pdinfo", "setstate 1 ref=4"};
    struct Case {
        Reason reason;
        const char *spare;
        bool appLog;
        std::vector<std::string> calls;
        std::string message;
    } cases[] = {
        {Reason::Smart, "spare c=0 id=5 role=dedicated groups=0,2\n", true, dedicated,
         "<4000:Error> Predictive Failure event received from Dedicated HotSpare.(PD:5 DG:0,2) "
         "Dedicated HotSpare "
         "has been removed."},
        {Reason::Aerror, "", true, global,
         "<4700:Error> Command Timeout or Check Condition event received from Global "
         "HotSpare.(PD:5) Global "
         "HotSpare has been removed."},
        {Reason::Medium, "spare c=0 id=5 role=dedicated groups=1\n", false, dedicated, pd(k4800)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(name(c.reason));
        kt::Daemon d;
        run(d, iniFor(c.reason, c.appLog),
            std::string(kHead) +
                "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=spare\n" + c.spare +
                trigger(c.reason));
        expectDriveCalls(d, 5, leadReads(c.reason), c.calls);
        expectMessages(d, {c.message}, c.appLog);
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
        EXPECT_EQ(settlePauses(d), 0u) << "a spare is neither waited for nor rechecked";
        EXPECT_THAT(driveCalls(d, 4), ::testing::Each("pdinfo"));
    }
}

TEST(Removal, FailingSpareChangesAreReportedAndOnlyDoneChangesRegistered) {
    const char *spare =
        "drive c=0 id=5 seq=3 state=spare\nspare c=0 id=5 role=dedicated groups=0\n";
    const std::string removed =
        "<4000:Error> Predictive Failure event received from Dedicated HotSpare.(PD:5 DG:0) "
        "Dedicated HotSpare has been removed.";
    // The spare role cannot be removed in the first attempt of two: the next
    // cycle condemns the still-spare drive again and succeeds.
    const std::vector<std::string> retried = {"pdinfo",
                                              "pdinfo",
                                              "dhotinfo",
                                              "removespare ref=3 !8",
                                              "removespare ref=3 !8",
                                              "pdinfo",
                                              "pdinfo",
                                              "pdinfo",
                                              "dhotinfo",
                                              "removespare ref=3",
                                              "pdinfo",
                                              "setstate 1 ref=4"};
    {
        SCOPED_TRACE("SMART, removespare refused");
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) + spare + trigger(Reason::Smart) +
                "fault cmd=removespare c=0 id=5 status=8 times=2\n");
        expectDriveCalls(d, 5, 1, retried);
        expectMessages(d, {pd(k4001), removed});
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
    }
    {
        SCOPED_TRACE("MEDIUM, removespare refused");
        kt::Daemon d;
        run(d, iniFor(Reason::Medium),
            std::string(kHead) + spare + trigger(Reason::Medium) +
                "fault cmd=removespare c=0 id=5 status=8 times=2\n");
        expectDriveCalls(d, 5, 2, retried);
        expectMessages(d, {pd(k4801), pd(k4800)});
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
    }
    {
        SCOPED_TRACE("SMART, setting unconfigured-bad refused");
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) + spare + trigger(Reason::Smart) +
                "fault cmd=setstate c=0 id=5 status=8 times=2\n");
        // The drive is left unconfigured-good: later cycles leave it alone.
        expectDriveCalls(d, 5, 1,
                         {"pdinfo", "pdinfo", "dhotinfo", "removespare ref=3", "pdinfo",
                          "setstate 1 ref=4 !8", "setstate 1 ref=4 !8"});
        expectMessages(d, {pd(k4101)});
        // Registered before its role was removed: the next start sets it bad.
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
    }
}

const char *const kRaid5 = "drive c=0 id=4 seq=1 state=online\n"
                           "drive c=0 id=6 seq=1 state=online\n"
                           "ld c=0 n=0 raid=5 state=optimal members=4,5,6\n";

TEST(Removal, OnlineMemberIsSetFailedAndRecheckedAfterAPause) {
    // The logical drive is read twice: by the check that every LD can lose
    // the member, and by the removal itself.
    const std::vector<std::string> head = {
        "pdinfo", "vdno", "ldinfo 0", "ldinfo 0", "pdinfo", "setstate 17 ref=3", "pdinfo"};
    auto released = head;
    released.push_back("setstate 1 ref=4");
    struct Case {
        Reason reason;
        const char *release;
        bool appLog;
        std::vector<std::string> calls;
        const char *message;
    } cases[] = {
        {Reason::Smart, "ugood", true, released, k4502},
        {Reason::Smart, "failed", true, head, k4502}, // still failed: the message alone
        {Reason::Aerror, "ugood", true, released, k4500},
        {Reason::Medium, "ugood", false, released, k4800},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(name(c.reason)) + " release=" + c.release);
        kt::Daemon d;
        run(d, iniFor(c.reason, c.appLog),
            std::string(kHead) + kRaid5 + "drive c=0 id=5 seq=3 state=online release=" + c.release +
                "\n" + trigger(c.reason));
        expectDriveCalls(d, 5, leadReads(c.reason), c.calls);
        expectMessages(d, {pd(c.message)}, c.appLog);
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
        EXPECT_EQ(settlePauses(d), 1u);
    }
}

TEST(Removal, MemberGoesOnlyWhileItsLogicalDriveCanLoseIt) {
    struct Case {
        int raid;
        const char *state;
        bool removed;
    } cases[] = {{0, "optimal", false},  {5, "degraded", false}, {5, "partial", false},
                 {6, "degraded", false}, {1, "optimal", true},   {6, "partial", true},
                 {10, "optimal", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE("RAID " + std::to_string(c.raid) + " " + c.state);
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) +
                "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online\n"
                "drive c=0 id=6 seq=1 state=online\ndrive c=0 id=7 seq=1 state=online\n"
                "ld c=0 n=0 raid=" +
                std::to_string(c.raid) + " state=" + c.state + " members=4,5,6,7\n" +
                trigger(Reason::Smart));
        auto calls = driveCalls(d, 5);
        if (c.removed) {
            expectDriveCalls(d, 5, 1,
                             {"pdinfo", "vdno", "ldinfo 0", "ldinfo 0", "pdinfo",
                              "setstate 17 ref=3", "pdinfo"});
            expectMessages(d, {pd(k4502)});
            EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
        } else {
            // Looked at in every cycle, never touched.
            ASSERT_GE(calls.size(), 4u);
            EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 4),
                        ::testing::ElementsAre("pdinfo", "pdinfo", "vdno", "ldinfo 0"));
            for (const auto &s : calls)
                EXPECT_TRUE(s == "pdinfo" || s == "vdno" || s == "ldinfo 0") << s;
            expectMessages(d, {});
            EXPECT_FALSE(d.moduleHas(kt::kRegisterName));
            EXPECT_EQ(settlePauses(d), 0u);
        }
    }
}

TEST(Removal, EachLogicalDriveIsJudgedAfterThePreviousRemoval) {
    // Drive 5 belongs to two optimal LDs; once it has been failed for LD 0 it
    // is not removed again for LD 1 (a RAID 6 would still pass the rule, and
    // a second attempt on the failed drive would report 4501). Drive 6, the
    // next member of LD 0, then finds it degraded and stays.
    for (int second : {1, 6}) {
        SCOPED_TRACE("RAID 5 and RAID " + std::to_string(second));
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) +
                "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online\n"
                "drive c=0 id=6 seq=1 state=online pfail=1\ndrive c=0 id=7 seq=1 state=online\n"
                "ld c=0 n=0 raid=5 state=optimal members=4,5,6\nld c=0 n=1 raid=" +
                std::to_string(second) + " state=optimal members=5,7\n" + trigger(Reason::Smart));
        expectDriveCalls(d, 5, 1,
                         {"pdinfo", "vdno", "ldinfo 0", "ldinfo 1", "ldinfo 0", "pdinfo",
                          "setstate 17 ref=3", "pdinfo"});
        expectMessages(d, {pd(k4502)});
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
        for (const auto &s : driveCalls(d, 6))
            EXPECT_TRUE(s == "pdinfo" || s == "vdno" || s == "ldinfo 0") << s;
    }
}

// A member of a redundant and a non-redundant logical drive must stay: failing
// it would take the other one offline. Every LD is read before any change; the
// LD that kept the drive is named once per run, at LOG_WARNING while
// APPLOG_SWITCH is on.
TEST(Removal, MemberSharedWithAnLdThatCannotLoseItStaysInService) {
    std::string manyLds;
    for (int n = 0; n < 65; n++)
        manyLds += "ld c=0 n=" + std::to_string(n) + " raid=1 state=optimal members=4,5\n";
    struct Case {
        const char *name;
        const char *lds;
        bool appLog;
        std::vector<std::string> warnings; // 6000 lines in the log, in order
        std::vector<std::string> removal;  // 4xxx/5xxx lines
    } cases[] = {
        {"RAID 1 then RAID 0",
         "ld c=0 n=0 raid=1 state=optimal members=4,5\nld c=0 n=1 raid=0 members=5,7\n",
         true,
         {"<6000:Warning> PD kept in service: logical drive cannot afford to lose it. "
          "(No.0)(LD:1)(PD:5)"},
         {}},
        {"RAID 0 then RAID 5, syslog switch off",
         "ld c=0 n=0 raid=0 members=5,7\nld c=0 n=1 raid=5 state=optimal members=4,5,6\n",
         false,
         {"<6000:Warning> PD kept in service: logical drive cannot afford to lose it. "
          "(No.0)(LD:0)(PD:5)"},
         {}},
        // The second LD cannot be read in the first cycle: the drive stays
        // then and goes in the next cycle, once both read as redundant.
        {"second LD unreadable once",
         "ld c=0 n=0 raid=1 state=optimal members=4,5\nld c=0 n=1 raid=5 state=optimal "
         "members=5,6,7\nat cmd=ldinfo n=2 fault cmd=ldinfo status=6 times=2\n",
         true,
         {"<6000:Warning> PD kept in service: logical drive information could not be read. "
          "(No.0)(LD:1)(PD:5)"},
         {pd(k4502)}},
        // More logical drives than the reply can list: one it leaves out
        // might be unable to lose the member.
        {"65 logical drives",
         manyLds.c_str(),
         true,
         {"<6000:Warning> PD kept in service: logical drive information could not be read. "
          "(No.0)(LD:-1)(PD:5)"},
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        run(d, iniFor(Reason::Smart, c.appLog),
            std::string(kHead) +
                "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online\n"
                "drive c=0 id=6 seq=1 state=online\ndrive c=0 id=7 seq=1 state=online\n" +
                c.lds + trigger(Reason::Smart));
        std::vector<std::string> warned;
        for (const auto &l : d.logLines())
            if (l.text.rfind("<6000:", 0) == 0)
                warned.push_back(l.text);
        EXPECT_EQ(warned, c.warnings);
        std::vector<std::string> sent;
        for (const auto &r : d.syslog()) {
            if (r.text.rfind("<6000:", 0) == 0) {
                EXPECT_EQ(r.priority, 4) << r.text;
                sent.push_back(r.text);
            }
        }
        EXPECT_EQ(sent, c.appLog ? c.warnings : std::vector<std::string>{});
        expectMessages(d, c.removal, c.appLog);
        auto calls = driveCalls(d, 5);
        auto changes = std::count_if(calls.begin(), calls.end(),
                                     [](const auto &s) { return s.rfind("setstate", 0) == 0; });
        EXPECT_EQ(changes, c.removal.empty() ? 0 : 1) << ::testing::PrintToString(calls);
    }
}

TEST(Removal, RebuildingDriveHasItsRebuildCancelledWhenItCannotBeFailed) {
    const std::string rebuilding =
        std::string(kHead) + "drive c=0 id=5 seq=3 state=rebuild release=ugood\n";
    {
        SCOPED_TRACE("cancel succeeds");
        kt::Daemon d;
        // The refused set-failed changes the sequence number: the cancel must
        // quote the one read after it.
        run(d, iniFor(Reason::Smart),
            rebuilding + trigger(Reason::Smart) +
                "fault cmd=setstate c=0 id=5 status=8 times=2\nat cmd=setstate n=2 drive c=0 id=5 "
                "seq=9\n");
        expectDriveCalls(d, 5, 1,
                         {"pdinfo", "pdinfo", "setstate 17 ref=3 !8", "setstate 17 ref=3 !8",
                          "pdinfo", "rebuildcancel ref=9", "pdinfo", "setstate 1 ref=10"});
        expectMessages(d, {pd(k4502)});
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
        EXPECT_EQ(settlePauses(d), 0u) << "rechecked at once after a cancel";
    }
    {
        SCOPED_TRACE("SMART, cancel answers 50");
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            rebuilding + trigger(Reason::Smart) +
                "fault cmd=setstate c=0 id=5 status=8 times=2\nfault cmd=rebuildcancel c=0 id=5 "
                "status=50 times=1\n");
        // One cancel call only; the next cycle fails the still-rebuilding drive.
        expectDriveCalls(d, 5, 1,
                         {"pdinfo", "pdinfo", "setstate 17 ref=3 !8", "setstate 17 ref=3 !8",
                          "pdinfo", "rebuildcancel ref=3 !50", "pdinfo", "pdinfo", "pdinfo",
                          "setstate 17 ref=3", "pdinfo", "setstate 1 ref=4"});
        expectMessages(d, {pd(k4501), pd(k4502)});
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,5"));
    }
    {
        SCOPED_TRACE("MEDIUM, drive no longer rebuilding at the cancel");
        kt::Daemon d;
        // Online when sampled, rebuilding when removal reads it, failed by the
        // time it is to be set failed: the set is refused and the cancel
        // answers 50 by itself.
        run(d, iniFor(Reason::Medium),
            std::string(kHead) +
                "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online\n"
                "ld c=0 n=0 raid=1 state=optimal members=4,5\n" +
                trigger(Reason::Medium) +
                "at cmd=pdinfo n=5 drive c=0 id=5 state=rebuild\nat cmd=setstate n=1 drive c=0 "
                "id=5 state=failed\n");
        expectDriveCalls(d, 5, 2,
                         {"pdinfo", "pdinfo", "setstate 17 ref=3 !8", "setstate 17 ref=3 !8",
                          "pdinfo", "rebuildcancel ref=3 !50"});
        expectMessages(d, {pd(k4801)});
        EXPECT_FALSE(d.moduleHas(kt::kRegisterName));
    }
}

TEST(Removal, DrivesOutOfServiceAreLeftAloneAndAFailedReadIsReported) {
    {
        SCOPED_TRACE("unconfigured-good, unconfigured-bad, failed");
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) +
                "drive c=0 id=5 state=ugood pfail=1\ndrive c=0 id=6 state=ubad pfail=1\n"
                "drive c=0 id=7 state=failed pfail=1\n");
        for (int dev : {5, 6, 7}) {
            auto calls = driveCalls(d, dev);
            EXPECT_GE(calls.size(), 6u) << dev; // scan and removal read it in each cycle
            EXPECT_THAT(calls, ::testing::Each("pdinfo")) << dev;
        }
        expectMessages(d, {});
        EXPECT_FALSE(d.moduleHas(kt::kRegisterName));
    }
    {
        SCOPED_TRACE("entry read fails");
        kt::Daemon d;
        run(d, iniFor(Reason::Smart),
            std::string(kHead) + kRaid5 + "drive c=0 id=5 seq=3 state=online\n" +
                trigger(Reason::Smart) +
                "at cmd=pdinfo n=4 fault cmd=pdinfo c=0 id=5 status=5 times=2\n");
        // pdinfo calls 1-3 are the scan's reads of drives 4, 6 and 5.
        expectDriveCalls(d, 5, 1,
                         {"pdinfo !5", "pdinfo !5", "pdinfo", "pdinfo", "vdno", "ldinfo 0",
                          "ldinfo 0", "pdinfo", "setstate 17 ref=3", "pdinfo"});
        expectMessages(d, {"<5007:Error> Unable to get physical drive information.(iDisConnectHdd) "
                           "Error Code (5)",
                           pd(k4502)});
    }
}

// A command that fails part way through a removal: reported where the
// controller gave no answer, the register holding the drive exactly when its
// state was changed, and the drive taken up again by the next cycle while it
// is still in service.
TEST(Removal, StepThatFailsPartWayIsReportedAndRetriedWhileTheDriveServes) {
    auto m5007 = [](const char *where) {
        return std::string("<5007:Error> Unable to get physical drive information.(") + where +
               ") Error Code (5)";
    };
    const std::string global = "<4000:Error> Predictive Failure event received from Global "
                               "HotSpare.(PD:5) Global HotSpare has been removed.";
    const char *spare = "drive c=0 id=5 seq=3 state=spare\n";
    const char *member = "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online\n"
                         "ld c=0 n=0 raid=1 state=optimal members=4,5\n";
    const char *unreadable = " fault cmd=pdinfo c=0 id=5 status=5 times=2\n";
    struct Case {
        const char *name;
        std::string scenario;
        std::vector<std::string> messages;
        bool registered;
    } cases[] = {
        {"scan cannot read the drive",
         std::string(spare) + "fault cmd=pdinfo c=0 id=5 status=5 "
                              "times=2\n",
         {global},
         true},
        // pdinfo 1 and 2: the scan and the removal's entry; 3: the spare's own read.
        {"spare unreadable when its removal begins",
         std::string(spare) + "at cmd=pdinfo n=3" + unreadable,
         {m5007("iDelHotSpare"), global},
         true},
        {"spare no longer a spare when its removal reads it",
         std::string(spare) + "at cmd=pdinfo n=3 drive c=0 id=5 state=ugood\n",
         {},
         false},
        // Out of the spare pool already: nothing is left to take up, but the
        // register keeps it for the next start.
        {"spare unreadable after losing its role",
         std::string(spare) + "at cmd=removespare n=1" + unreadable,
         {m5007("iDelHotSpare")},
         true},
        {"member's drive list unreadable",
         std::string(member) + "fault cmd=vdno c=0 id=5 status=5 times=2\n",
         {pd(k4502)},
         true},
        {"member's logical drive unreadable after the check",
         std::string(member) + "at cmd=ldinfo n=2 fault cmd=ldinfo c=0 status=6 times=2\n",
         {pd(k4502)},
         true},
        {"member unreadable before it is set failed",
         std::string(member) + "at cmd=ldinfo n=2" + unreadable,
         {m5007("iDelHdd"), pd(k4502)},
         true},
        // Failed and registered: only its recheck could not be made.
        {"member unreadable at the recheck",
         std::string(member) + "at cmd=setstate n=1" + unreadable,
         {m5007("iHddRecheck")},
         true},
        {"released member cannot be set bad",
         "drive c=0 id=4 seq=1 state=online\ndrive c=0 id=5 seq=3 state=online release=ugood\n"
         "ld c=0 n=0 raid=1 state=optimal members=4,5\nat cmd=setstate n=2 fault cmd=setstate "
         "c=0 id=5 status=8 times=2\n",
         {pd(k4101)},
         true},
        {"rebuilding drive unreadable before its cancel",
         "drive c=0 id=5 seq=3 state=rebuild\nfault cmd=setstate c=0 id=5 status=8 times=2\n"
         "at cmd=setstate n=2" +
             std::string(unreadable),
         {m5007("iDelHdd"), pd(k4502)},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        run(d, iniFor(Reason::Smart), std::string(kHead) + c.scenario + trigger(Reason::Smart));
        expectMessages(d, c.messages);
        EXPECT_EQ(d.registerLines(),
                  c.registered ? std::vector<std::string>{"0,5"} : std::vector<std::string>{});
    }
}

// The drive is registered before its first state-changing command, so a
// crash right after the change cannot leave it unregistered; a removal that
// changed nothing takes its line back exactly, whatever the file held before
// (drive 9's line, kept by the start as the drive is unconfigured-good).
TEST(Removal, DriveIsRegisteredBeforeItsStateChangesAndOnlyThen) {
    const char *spare = "drive c=0 id=5 seq=3 state=spare\n";
    const char *rebuild = "drive c=0 id=5 seq=3 state=rebuild\n";
    const std::string member = std::string(kRaid5) + "drive c=0 id=5 seq=3 state=online\n";
    struct Case {
        const char *name;
        std::string scenario;
        const char *command; // held: the daemon is killed while it waits
        const char *before;  // register before the run
        const char *after;   // register after it
    } cases[] = {
        {"spare, killed in its role removal", spare, "removespare", "0,9\n", "0,9\n0,5\n"},
        {"member, killed in its set-failed", member, "setstate", "", "0,5\n"},
        {"rebuilding, killed in its set-failed", rebuild, "setstate", nullptr, "0,5\n"},
        {"spare whose role stays", std::string(spare) + "fault cmd=removespare status=8\n", nullptr,
         "0,9\n", "0,9\n"},
        {"rebuilding drive neither failed nor cancelled",
         std::string(rebuild) + "fault cmd=setstate status=8\nfault cmd=rebuildcancel status=50\n",
         nullptr, nullptr, nullptr},
        {"member that cannot be failed", member + "fault cmd=setstate status=8\n", nullptr, "0,9\n",
         "0,9\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        std::string scenario = std::string(kHead) + "drive c=0 id=9 state=ugood\n" + c.scenario +
                               trigger(Reason::Smart);
        if (c.command == nullptr) {
            run(d, iniFor(Reason::Smart), scenario, 3, c.before);
        } else {
            launch(d, iniFor(Reason::Smart),
                   scenario + "hold cmd=" + c.command + " ms=5000 times=1\n", c.before);
            ASSERT_TRUE(d.waitForTrace(std::regex(std::string("^HOLD ") + c.command)));
            d.kill();
        }
        EXPECT_EQ(d.moduleHas(kt::kRegisterName), c.after != nullptr);
        EXPECT_EQ(d.registerText(), c.after != nullptr ? c.after : "");
    }
}

} // namespace

namespace {

// Drive 5's identity in the scenario, and as the location line and the alert
// program show it (blanks made one, bytes outside printable ASCII as "?").
const char *const kIdentity = " sas=0x500a0b1c2d3e4f50 enclosure=32 slot=3 "
                              "inquiry=\"VENDORX  MODEL-4000      0004  SN0012345\xc3\xa9\"\n";
const char *const kLocation =
    "<6500:Information> PD location: enclosure 32 slot 3, SAS address 0x500a0b1c2d3e4f50, "
    "drive \"VENDORX MODEL-4000 0004 SN0012345??\". (No.0)(PD:5)";

} // namespace

// Every message about drive 5 is followed by the line naming its bay and
// identity, and the alert program run for it gets the same in its environment.
TEST(Removal, EveryOutcomeNamesTheDrivesBayAndIdentity) {
    struct Case {
        const char *name;
        Reason reason;
        std::string drive; // drive 5 and what else the case needs
        std::string ini;   // appended to the mode's settings
        const char *message;
    } cases[] = {
        {"spare, SMART", Reason::Smart,
         "drive c=0 id=5 seq=3 state=spare\nspare c=0 id=5 role=dedicated groups=0\n", "",
         "<4000:"},
        {"member, AERROR", Reason::Aerror,
         std::string(kRaid5) + "drive c=0 id=5 seq=3 state=online release=ugood\n", "", "<4500:"},
        {"rebuilding, SMART", Reason::Smart, "drive c=0 id=5 seq=3 state=rebuild\n", "", "<4502:"},
        {"spare, MEDIUM", Reason::Medium, "drive c=0 id=5 seq=3 state=spare\n", "", "<4800:"},
        {"member not failed", Reason::Smart,
         std::string(kRaid5) +
             "drive c=0 id=5 seq=3 state=online\nfault cmd=setstate c=0 id=5 status=8\n",
         "", "<4501:"},
        {"spare role kept", Reason::Smart,
         "drive c=0 id=5 seq=3 state=spare\nfault cmd=removespare c=0 id=5 status=8\n", "",
         "<4001:"},
        {"spare not set bad", Reason::Smart,
         "drive c=0 id=5 seq=3 state=spare\nfault cmd=setstate c=0 id=5 status=8\n", "", "<4101:"},
        {"member kept for a RAID 0", Reason::Smart,
         "drive c=0 id=5 seq=3 state=online\nld c=0 n=0 raid=0 members=5\n", "", "<6000:"},
        {"observe mode", Reason::Smart, "drive c=0 id=5 seq=3 state=spare\n",
         "[ACTION]\nACTION_MODE=OBSERVE\n", "<6401:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        const std::string runs = d.workPath("runs");
        ASSERT_TRUE(kt::Daemon::writeAbs(
            d.workPath("alert.sh"),
            "#!/bin/sh\nenv | grep '^KESTRUN_[ESD][NLAR]' > " + runs + ".$1\n", 0755));
        run(d,
            iniFor(c.reason) + c.ini + "[NOTIFY]\nNOTIFY_PROGRAM=" + d.workPath("alert.sh") + "\n",
            std::string(kHead) + c.drive + "drive c=0 id=5" + kIdentity + trigger(c.reason));
        auto log = kt::texts(d.logLines());
        auto at = std::find_if(log.begin(), log.end(),
                               [&](const auto &t) { return t.rfind(c.message, 0) == 0; });
        ASSERT_TRUE(at != log.end() && at + 1 != log.end()) << ::testing::PrintToString(log);
        EXPECT_EQ(at[1], kLocation);
        // One location line per message (a failure repeats every cycle).
        EXPECT_EQ(std::count(log.begin(), log.end(), kLocation),
                  std::count_if(log.begin(), log.end(),
                                [&](const auto &t) { return t.rfind(c.message, 0) == 0; }));
        const std::string id = std::string(c.message).substr(1, 4);
        ASSERT_TRUE(kt::Daemon::waitFor([&] {
            return kt::readText(runs + "." + id).find("KESTRUN_DRIVE=") != std::string::npos;
        }));
        EXPECT_THAT(
            kt::readLines(runs + "." + id),
            ::testing::UnorderedElementsAre("KESTRUN_ENCLOSURE=32", "KESTRUN_SLOT=3",
                                            "KESTRUN_SAS_ADDRESS=0x500a0b1c2d3e4f50",
                                            "KESTRUN_DRIVE=VENDORX MODEL-4000 0004 SN0012345??"));
    }
}
