// The removed-drive register: what a start makes of every kind of line, what
// happens when it cannot be rewritten or the daemon dies while rewriting it,
// and removals that land in it across two runs.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n";
constexpr const char *kBak = "PdState_Flag.bak";
constexpr const char *kNew = "PdState_Flag.new";

std::string msg4600(int pd) {
    return "<4600:Error> PD was set to offline status again. (PD:" + std::to_string(pd) + ")";
}

void prepare(kt::Daemon &d, const std::string &scenario, const std::string &reg) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario(scenario));
    ASSERT_TRUE(d.writeIni(kIni));
    if (!reg.empty()) {
        ASSERT_TRUE(d.writeFile(kt::kRegisterName, reg));
    }
}

// Runs until the first scan has listed the drives, then stops. (A sleep is no
// sign of the loop: failed commands wait in sleeps too.)
void runToLoop(kt::Daemon &d) {
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist ")))
        << ::testing::PrintToString(kt::texts(d.logLines()));
    auto r = d.stop();
    ASSERT_TRUE(r.exitedWith(0)) << r;
}

// Log texts after the last run's mode summary (what the register check and
// later said), without the location lines (tested on their own).
std::vector<std::string> afterSummary(const kt::Daemon &d) {
    auto log = kt::texts(d.logLines());
    log.erase(std::remove_if(log.begin(), log.end(),
                             [](const auto &t) { return t.rfind("<6500:", 0) == 0; }),
              log.end());
    auto it = std::find_if(log.rbegin(), log.rend(),
                           [](const auto &t) { return t.rfind("<1001:", 0) == 0; });
    return it == log.rend() ? std::vector<std::string>{"no 1001"}
                            : std::vector<std::string>(it.base(), log.end());
}

// "ctrl:dev:arg:status" of each setstate, in order.
std::vector<std::string> setStates(const kt::Daemon &d) {
    std::vector<std::string> out;
    for (const auto &c : d.calls("setstate"))
        out.push_back(c.fields.at("ctrl") + ":" + c.fields.at("dev") + ":" + c.fields.at("arg") +
                      ":" + c.fields.at("status"));
    return out;
}

TEST(Register, StartupSetsReturnedDrivesBadAgainAndKeepsOnlyTheirLines) {
    kt::Daemon d;
    prepare(d,
            "controller 0\ncontroller 1\n"
            "drive c=0 id=1 state=ugood\ndrive c=0 id=2 state=online\ndrive c=0 id=3 state=spare\n"
            "drive c=0 id=4 state=ubad\ndrive c=0 id=5 state=failed\ndrive c=1 id=7 state=ugood\n"
            "drive c=0 id=40000 state=ugood\ndrive c=0 id=9 state=ugood\n"
            "fault cmd=setstate c=1 id=7 status=8\n",
            // Drive 6 is unknown to the controller: its read fails and its
            // line stays; blank, text and one-field lines name no drive; the
            // last line ends in CR LF.
            "0,1\n0,2\n\n0,3\njunk\n1,7\n0,4\n7\n0,-25536\n,\n0,5\nabc,def\n0,6\n0,9\r\n");
    runToLoop(d);

    EXPECT_THAT(
        afterSummary(d),
        ElementsAre(
            msg4600(1), "<4601:Error> Failed remove PD (re-set). (PD:7)", msg4600(40000),
            "<5007:Error> Unable to get physical drive information.(iStateChkSet) Error Code (5)",
            msg4600(9)));
    EXPECT_THAT(setStates(d),
                ElementsAre("0:1:1:0", "1:7:1:8", "1:7:1:8", "0:40000:1:0", "0:9:1:0"));
    EXPECT_EQ(d.registerText(), "0,1\n1,7\n0,40000\n0,6\n0,9\n");
    EXPECT_FALSE(d.moduleHas(kBak));
    EXPECT_FALSE(d.moduleHas(kNew));

    // The drive messages reach syslog as errors, the 5007 does not.
    std::vector<std::string> drive;
    for (const auto &r : d.syslog()) {
        if (r.text.rfind("<46", 0) == 0) {
            EXPECT_EQ(r.priority, 3) << r.text;
            drive.push_back(r.text);
        }
        EXPECT_EQ(r.text.find("<5007:"), std::string::npos);
    }
    EXPECT_EQ(drive.size(), 4u);
}

TEST(Register, MissingRegisterStaysMissingAndAnEmptiedOneStays) {
    struct Case {
        const char *name;
        const char *reg;
        bool exists;
    } cases[] = {{"no register", "", false}, {"every line dropped", "0,2\n0,4\n", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, "controller 0\ndrive c=0 id=2 state=online\ndrive c=0 id=4 state=ubad\n", c.reg);
        runToLoop(d);
        EXPECT_THAT(afterSummary(d), IsEmpty());
        EXPECT_TRUE(setStates(d).empty());
        EXPECT_EQ(d.moduleHas(kt::kRegisterName), c.exists);
        EXPECT_EQ(d.registerText(), "");
        EXPECT_FALSE(d.moduleHas(kBak));
        EXPECT_FALSE(d.moduleHas(kNew));
        // Without a register no drive is read before the first scan.
        auto calls = d.calls();
        auto firstList = std::find_if(calls.begin(), calls.end(),
                                      [](const auto &x) { return x.kind == "pdlist"; });
        auto pdinfos = std::count_if(calls.begin(), firstList,
                                     [](const auto &x) { return x.kind == "pdinfo"; });
        EXPECT_EQ(pdinfos, c.exists ? 2 : 0);
    }
}

// Whatever lies at the new register's name, the register is judged line by
// line all the same. A leftover (file, link, FIFO) is removed and the new file
// created afresh, so a link planted there never redirects the rewrite; what
// cannot be removed is reported (5009) and the register stays as it was. A
// copy of the register is no longer made, so nothing in its old place
// matters.
TEST(Register, NothingAtTheNewFilesNameStopsOrRedirectsTheRewrite) {
    enum Plant { Dir, Symlink, Hardlink, Fifo };
    struct Case {
        const char *name;
        const char *at; // module-relative; "!" for the linked register's <target>.new
        Plant plant;
        std::vector<std::string> messages;
        const char *after;
    } cases[] = {
        {"directory as the old copy", kBak, Dir, {msg4600(1)}, "0,1\n"},
        {"directory as the new file",
         kNew,
         Dir,
         {"<5009:Error> PdState_Flag.dat File open failed.(iHspFlgChk) Error Code (21)",
          msg4600(1)},
         "0,1\n0,2\n"},
        {"symbolic link as the new file", kNew, Symlink, {msg4600(1)}, "0,1\n"},
        {"hard link as the new file", kNew, Hardlink, {msg4600(1)}, "0,1\n"},
        {"FIFO as the new file", kNew, Fifo, {msg4600(1)}, "0,1\n"},
        {"symbolic link beside a linked register", "!", Symlink, {msg4600(1)}, "0,1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        const std::string reg = "0,1\n0,2\n";
        const bool linked = std::string(c.at) == "!";
        prepare(d, "controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 state=online\n",
                linked ? "" : reg);
        const std::string target = d.root() + "/shared/host1.dat";
        if (linked) {
            ASSERT_TRUE(kt::Daemon::writeAbs(target, reg));
            ASSERT_EQ(symlink(target.c_str(), d.modulePath(kt::kRegisterName).c_str()), 0);
        }
        const std::string at = linked ? target + ".new" : d.modulePath(c.at);
        const std::string victim = d.root() + "/victim";
        ASSERT_TRUE(kt::Daemon::writeAbs(victim, "precious\n", 0600));
        switch (c.plant) {
        case Dir:
            ASSERT_TRUE(kt::Daemon::writeAbs(at + "/keep", "x"));
            break;
        case Symlink:
            ASSERT_EQ(symlink(victim.c_str(), at.c_str()), 0);
            break;
        case Hardlink:
            ASSERT_EQ(link(victim.c_str(), at.c_str()), 0);
            break;
        case Fifo:
            ASSERT_EQ(mkfifo(at.c_str(), 0600), 0);
            break;
        }
        runToLoop(d);
        EXPECT_EQ(afterSummary(d), c.messages);
        EXPECT_THAT(setStates(d), ElementsAre("0:1:1:0"));
        EXPECT_EQ(kt::readText(linked ? target : d.modulePath(kt::kRegisterName)), c.after);
        EXPECT_EQ(kt::readText(victim), "precious\n");
        struct stat st {};
        EXPECT_EQ(lstat(d.modulePath(kt::kRegisterName).c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), linked);
        EXPECT_EQ(lstat(at.c_str(), &st) == 0, c.plant == Dir);
    }
}

// A register line stays unless its drive was read: at a start whose controller
// list lacks the line's controller (none at all: a driver still loading), the
// line is kept with 6002 and not asked about; a start listing no controller
// says that nothing is monitored (6001, to syslog too).
TEST(Register, LinesOfControllersNotListedStay) {
    const std::string none =
        "<6001:Warning> No controller found. No drive is monitored in this run.";
    auto kept = [](int c, int pd) {
        return "<6002:Warning> Register line kept: its controller is not listed at this start. "
               "(No." +
               std::to_string(c) + ")(PD:" + std::to_string(pd) + ")";
    };
    struct Case {
        const char *name;
        const char *scenario;
        std::vector<std::string> messages; // from the mode summary on
        const char *after;
    } cases[] = {
        {"no controller", "", {none, kept(0, 1), kept(1, 40000)}, "0,1\n1,40000\n"},
        {"controller 1 missing",
         "controller 0\ndrive c=0 id=1 state=online\n",
         {kept(1, 40000)},
         "1,40000\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, c.scenario, "0,1\n1,-25536\n");
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.waitForSleeps(1));
        ASSERT_TRUE(d.stop().exitedWith(0));
        EXPECT_EQ(afterSummary(d), c.messages);
        EXPECT_EQ(d.registerText(), c.after);
        for (const auto &call : d.calls("pdinfo"))
            EXPECT_EQ(call.num("ctrl"), 0) << call.raw;
        EXPECT_EQ(kt::findSyslog(d.syslog(), "<6001:") != nullptr, c.messages[0] == none);
    }
}

// Killed while the rewrite waits for the controller: the register is whole;
// the next start finishes the job.
TEST(Register, KilledDuringTheRewriteKeepsEveryLine) {
    kt::Daemon d;
    const std::string reg = "0,1\n0,2\n0,3\n";
    prepare(d,
            "controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 state=ugood\ndrive c=0 id=3 "
            "state=ugood\n"
            "hold cmd=pdinfo c=0 id=2 ms=3000 times=1\n",
            reg);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^HOLD pdinfo")));
    d.kill();
    ASSERT_EQ(d.lastExit().signal, SIGKILL);
    EXPECT_EQ(d.registerText(), reg);
    EXPECT_THAT(setStates(d), ElementsAre("0:1:1:0"));

    // Drive 1 was set bad before the kill and now leaves the register.
    d.clearCaptures();
    runToLoop(d);
    EXPECT_THAT(afterSummary(d), ElementsAre(msg4600(2), msg4600(3)));
    EXPECT_THAT(setStates(d), ElementsAre("0:2:1:0", "0:3:1:0"));
    EXPECT_EQ(d.registerText(), "0,2\n0,3\n");
    EXPECT_FALSE(d.moduleHas(kBak));
    EXPECT_FALSE(d.moduleHas(kNew));
}

// SMART removes four spares: one line each (device 5 and 50, controller 0 and 1
// apart; id 40000 in its signed form), a second removal of the same drive adds
// none. After they come back unconfigured-good, the next start sets each bad
// again and rewrites id 40000 unsigned.
TEST(Register, RemovedDrivesAreListedOnceAndSetBadAgainAfterARestart) {
    const std::vector<std::pair<int, int>> drives = {{0, 5}, {0, 50}, {0, 40000}, {1, 5}};
    std::string first = "controller 0\ncontroller 1\n";
    std::string second = first;
    for (const auto &[c, id] : drives) {
        const std::string cd = "c=" + std::to_string(c) + " id=" + std::to_string(id);
        first += "drive " + cd + " pfail=1\nspare " + cd + " role=dedicated groups=0\n";
        second += "drive " + cd + " state=ugood\n";
    }
    kt::Daemon d;
    prepare(d, first, "");
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForLines(d.modulePath(kt::kLogName), std::regex("<4000:"), 4));
    EXPECT_EQ(d.registerText(), "0,5\n0,50\n0,-25536\n1,5\n");

    // Controller 0's drive 5 becomes a spare again and is removed once more.
    ASSERT_TRUE(kt::Daemon::writeAbs(d.scenarioPath() + ".tmp",
                                     "spare c=0 id=5 role=dedicated groups=0\n"));
    ASSERT_EQ(std::rename((d.scenarioPath() + ".tmp").c_str(), (d.scenarioPath() + ".add").c_str()),
              0);
    ASSERT_TRUE(d.waitForLines(d.modulePath(kt::kLogName), std::regex("<4000:"), 5));
    auto r = d.stop();
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_EQ(d.registerText(), "0,5\n0,50\n0,-25536\n1,5\n");
    EXPECT_THAT(setStates(d),
                ElementsAre("0:5:1:0", "0:50:1:0", "0:40000:1:0", "1:5:1:0", "0:5:1:0"));

    ASSERT_TRUE(d.writeScenario(second));
    d.clearCaptures();
    runToLoop(d);
    EXPECT_THAT(afterSummary(d), ElementsAre(msg4600(5), msg4600(50), msg4600(40000), msg4600(5)));
    EXPECT_THAT(setStates(d), ElementsAre("0:5:1:0", "0:50:1:0", "0:40000:1:0", "1:5:1:0"));
    EXPECT_EQ(d.registerText(), "0,5\n0,50\n0,40000\n1,5\n");
}

// A register whose last line lost its LF while the daemon ran: the next
// removal starts a line of its own, and the unterminated line still counts
// as the drive it names.
TEST(Register, AppendAfterAnUnterminatedLastLineStartsANewLine) {
    struct Case {
        const char *before;
        const char *after;
    } cases[] = {{"0,8", "0,8\n0,9\n"}, {"1,2\n0,9", "1,2\n0,9"}, {"0,8\n", "0,8\n0,9\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        kt::Daemon d;
        prepare(d, "controller 0\ndrive c=0 id=9 state=spare\n", "");
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist ")));
        ASSERT_TRUE(d.writeFile(kt::kRegisterName, c.before));
        ASSERT_TRUE(d.addScenario("drive c=0 id=9 pfail=1\n"));
        ASSERT_TRUE(d.waitForLog("<4000:"));
        auto r = d.stop();
        ASSERT_TRUE(r.exitedWith(0)) << r;
        EXPECT_EQ(d.registerText(), c.after);
    }
}

// SIGTERM while the read of a registered drive waits to be retried: that line
// and every later one stay unjudged and are kept, in order; no drive is asked
// after the stop.
TEST(Register, StopDuringTheStartupPassKeepsTheLinesItDidNotJudge) {
    kt::Daemon d;
    prepare(
        d,
        "controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 state=ugood\n"
        "drive c=0 id=3 state=online\n"
        "hold cmd=pdinfo c=0 id=2 ms=2000 times=1\nfault cmd=pdinfo c=0 id=2 status=5 times=1\n",
        "0,1\n0,2\n0,3\n");
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^HOLD pdinfo")));
    ASSERT_TRUE(d.signal(SIGTERM));
    auto r = d.waitExit();
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_EQ(d.registerText(), "0,1\n0,2\n0,3\n");
    std::vector<long long> asked;
    for (const auto &c : d.calls())
        if (c.kind == "pdinfo" || c.kind == "setstate")
            asked.push_back(c.num("dev"));
    EXPECT_THAT(asked, ElementsAre(1, 1, 2));
    EXPECT_FALSE(d.moduleHas(kBak));
    EXPECT_FALSE(d.moduleHas(kNew));
}

// A register kept as a symbolic link (directly or through a second link) is
// rewritten where the link points: the link stays, the target gets the new
// content with its owner and mode, and no temporary file is left beside it.
TEST(Register, SymlinkedRegisterIsRewrittenAtItsTarget) {
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> links; // module-relative name, target
    } cases[] = {
        {"one link", {{kt::kRegisterName, "../elsewhere/reg.dat"}}},
        {"chain", {{kt::kRegisterName, "hop"}, {"hop", "../elsewhere/reg.dat"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, "controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 state=online\n", "");
        const std::string target = d.root() + "/elsewhere/reg.dat";
        ASSERT_TRUE(kt::Daemon::writeAbs(target, "0,1\n0,2\n", 0640));
        ASSERT_EQ(chown(target.c_str(), 1234, 1235), 0);
        for (const auto &[name, to] : c.links)
            ASSERT_EQ(symlink(to.c_str(), d.modulePath(name).c_str()), 0);
        runToLoop(d);

        EXPECT_EQ(kt::readText(target), "0,1\n");
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 1235u);
        for (const auto &[name, to] : c.links) {
            char buf[PATH_MAX];
            ssize_t n = readlink(d.modulePath(name).c_str(), buf, sizeof buf);
            ASSERT_GT(n, 0) << name;
            EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), to);
        }
        EXPECT_THAT(kt::Daemon::listDir(d.root() + "/elsewhere"), ElementsAre("reg.dat"));
        EXPECT_FALSE(d.moduleHas(kBak));
        EXPECT_FALSE(d.moduleHas(kNew));
    }
}

// Identity records of drives 0,4 and 0,5 (as a removal writes them).
const char *const kRecords =
    "0\t4\t0x500a0b1c00000004\t252\t4\tSMART\t1700000000\tVENDORX MODEL-4000 0004 SN4\n"
    "0\t5\t0x500a0b1c00000005\t252\t5\tMEDIUM\t1700000000\tVENDORX MODEL-4000 0004 SN5\n";
const char *const kIdentityName = "PdState_Flag.dat.identity";

// Runs `Kestrun args...` on the prepared module directory: exit status, stdout.
std::pair<int, std::string> command(kt::Daemon &d, const std::vector<std::string> &args) {
    kt::StartOptions o;
    o.args = args;
    d.clearCaptures();
    if (!d.start(o))
        return {-1, ""};
    auto r = d.waitExit();
    return {r.exited ? r.code : -1, d.stdoutText()};
}

// --retire takes out one drive's lines and records and keeps every other byte;
// --register shows what is left. Neither touches the controller.
TEST(Register, RetireTakesOneDriveOutAndRegisterListsTheRest) {
    const std::string reg = "0,4\r\n0,5\n1,5\n0,-25536\nabc\n0,9";
    struct Case {
        const char *name;
        std::string arg; // empty: no register at all
        bool linked;
        int status;
        std::string after, records;
    } cases[] = {
        {"one line and its record", "0,5", false, 0, "0,4\r\n1,5\n0,-25536\nabc\n0,9",
         std::string(kRecords).substr(0, std::string(kRecords).find('\n') + 1)},
        {"signed and unsigned id", "0,40000", false, 0, "0,4\r\n0,5\n1,5\nabc\n0,9", kRecords},
        {"linked register", "0,5", true, 0, "0,4\r\n1,5\n0,-25536\nabc\n0,9",
         std::string(kRecords).substr(0, std::string(kRecords).find('\n') + 1)},
        {"no such line", "0,7", false, 1, reg, kRecords},
        {"malformed", "0;5", false, 2, reg, kRecords},
        {"device out of range", "0,65536", false, 2, reg, kRecords},
        {"no register", "", false, 1, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, "controller 0\n", "");
        const std::string dir = c.linked ? d.root() + "/shared/" : d.moduleDir() + "/";
        const std::string target = dir + (c.linked ? "host1.dat" : kt::kRegisterName);
        if (!c.arg.empty()) {
            ASSERT_TRUE(kt::Daemon::writeAbs(target, reg, 0640));
            ASSERT_TRUE(kt::Daemon::writeAbs(target + ".identity", kRecords));
        }
        if (c.linked) {
            ASSERT_EQ(symlink("../shared/host1.dat", d.modulePath(kt::kRegisterName).c_str()), 0);
        }
        auto [status, out] = command(d, {"--retire", c.arg.empty() ? "0,5" : c.arg});
        EXPECT_EQ(status, c.status) << d.stderrText();
        EXPECT_EQ(kt::readText(target), c.after);
        EXPECT_EQ(kt::readText(target + ".identity"), c.records);
        if (c.linked) {
            EXPECT_EQ(kt::Daemon::listDir(d.root() + "/shared"),
                      (std::vector<std::string>{"host1.dat", "host1.dat.identity"}));
        }
        EXPECT_THAT(d.calls(), IsEmpty());

        std::tie(status, out) = command(d, {"--register"});
        EXPECT_EQ(status, 0);
        if (c.arg.empty()) {
            EXPECT_EQ(out, "No register: " + d.modulePath(kt::kRegisterName) + "\n");
        } else if (c.status == 0 && c.arg == "0,5") {
            EXPECT_THAT(out, HasSubstr("\n0,4  enclosure 252 slot 4, SAS address "
                                       "0x500a0b1c00000004, drive \"VENDORX MODEL-4000 0004 "
                                       "SN4\", reason SMART, removed "));
            EXPECT_THAT(out, HasSubstr("\n1,5  identity not recorded\n0,40000  identity not "
                                       "recorded\n0,9  identity not recorded\n4 registered "
                                       "drives\n"));
        }
    }
}

// A register that cannot be read: both options say so with status 6.
TEST(Register, UnreadableRegisterStopsBothOptions) {
    kt::Daemon d;
    prepare(d, "controller 0\n", "");
    ASSERT_EQ(::mkdir(d.modulePath(kt::kRegisterName).c_str(), 0755), 0);
    EXPECT_EQ(command(d, {"--register"}).first, 6);
    EXPECT_EQ(command(d, {"--retire", "0,5"}).first, 6);
}

// Drive 5 as the simulator names it by default, and its record.
const char *const kSame =
    "0\t5\t0x500a0b1c00000005\t252\t5\tSMART\t1700000000\tVENDORX MODEL-4000 0004 SN00000005\n";
std::string msg6501(const std::string &nowSas, const std::string &nowDrive) {
    return "<6501:Information> Registered PD was replaced: its register line is retired and the "
           "new drive is left alone. Removed drive: SAS address 0x500a0b1c00000005, drive "
           "\"VENDORX MODEL-4000 0004 SN00000005\". Now in enclosure 252 slot 5: SAS address " +
           nowSas + ", drive \"" + nowDrive + "\". (No.0)(PD:5)";
}

// A start judges a line by the drive's recorded identity where there is one,
// and exactly as before where there is none.
TEST(Register, StartJudgesALineByTheRecordedDrive) {
    const std::string other = "sas=0x500a0b1c0000ffff";
    struct Case {
        const char *name;
        std::string drive, records;
        std::vector<std::string> messages;
        bool kept;
    } cases[] = {
        {"no record, still bad", "state=ubad", "", {}, false},
        {"no record, back unconfigured-good", "state=ugood " + other, "", {msg4600(5)}, true},
        {"record, still bad", "state=ubad", kSame, {}, true},
        {"record, failed", "state=failed", kSame, {}, true},
        {"record, back unconfigured-good", "state=ugood", kSame, {msg4600(5)}, true},
        {"record, back in an array", "state=online", kSame, {}, false},
        {"record, another address",
         "state=ugood " + other,
         kSame,
         {msg6501("0x500a0b1c0000ffff", "VENDORX MODEL-4000 0004 SN00000005")},
         false},
        {"record, another inquiry",
         "state=ubad inquiry=\"VENDORX MODEL-4000 0004 SN777\"",
         kSame,
         {msg6501("0x500a0b1c00000005", "VENDORX MODEL-4000 0004 SN777")},
         false},
        {"drive names nothing", "state=ubad inquiry=\"\" sas=0", kSame, {}, false},
        {"record names nothing",
         "state=ubad",
         "0\t5\t0x0000000000000000\t252\t5\tSMART\t1\t\n",
         {},
         false},
        {"torn record", "state=ubad", std::string(kSame).substr(0, 40), {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        prepare(d, "controller 0\ndrive c=0 id=5 " + c.drive + "\n", "0,5\n");
        if (!c.records.empty()) {
            ASSERT_TRUE(d.writeFile(kIdentityName, c.records));
        }
        runToLoop(d);
        EXPECT_EQ(afterSummary(d), c.messages);
        EXPECT_EQ(setStates(d).size(), c.messages.size() == 1 && c.messages[0][2] == '6' ? 1u : 0u);
        EXPECT_EQ(d.registerText(), c.kept ? "0,5\n" : "");
        // The records of the lines that stayed, and no file where none was.
        EXPECT_EQ(d.moduleHas(kIdentityName), !c.records.empty());
        EXPECT_EQ(kt::readText(d.modulePath(kIdentityName)),
                  c.kept && c.records == kSame ? kSame : "");
    }
}

// An identity record that cannot be written is reported; the line stands.
TEST(Register, IdentityFileThatCannotBeWrittenLeavesTheLineStanding) {
    kt::Daemon d;
    prepare(d, "controller 0\ndrive c=0 id=5 state=spare pfail=1\n", "");
    ASSERT_EQ(::mkdir(d.modulePath(kIdentityName).c_str(), 0755), 0);
    ASSERT_TRUE(d.start());
    EXPECT_TRUE(d.waitForLog("<6502:Warning> " + std::string(kIdentityName) +
                             " File write failed: register lines stand without the drive's "
                             "identity.(iHSPFileMake) Error Code (21)"))
        << ::testing::PrintToString(kt::texts(d.logLines()));
    ASSERT_TRUE(d.waitForLog("<6500:"));
    ASSERT_TRUE(d.stop().exitedWith(0));
    EXPECT_EQ(d.registerText(), "0,5\n");
}

// The removed drive keeps its line through starts at which it is still bad,
// is set bad again when it comes back, and its replacement is left alone.
TEST(Register, RemovedDriveIsFollowedAcrossStartsAndItsReplacementLeftAlone) {
    kt::Daemon d;
    prepare(d, "controller 0\ndrive c=0 id=5 state=spare pfail=1\n", "");
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForLog("<6500:"));
    ASSERT_TRUE(d.stop().exitedWith(0));
    ASSERT_EQ(d.registerText(), "0,5\n");
    const std::string record = kt::readText(d.modulePath(kIdentityName));
    EXPECT_EQ(record.substr(0, 36), std::string(kSame).substr(0, 36)) << record;
    struct Step {
        const char *change; // to the simulator before the start
        std::vector<std::string> messages;
        const char *after;
    } steps[] = {
        {"", {}, "0,5\n"},
        {"", {}, "0,5\n"},
        {"drive c=0 id=5 state=ugood pfail=0\n", {msg4600(5)}, "0,5\n"},
        {"drive c=0 id=5 state=ugood sas=0x500a0b1c0000ffff\n",
         {msg6501("0x500a0b1c0000ffff", "VENDORX MODEL-4000 0004 SN00000005")},
         ""},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.change);
        d.clearCaptures();
        if (s.change[0] != '\0') {
            ASSERT_TRUE(d.addScenario(s.change));
        }
        runToLoop(d);
        EXPECT_EQ(afterSummary(d), s.messages);
        EXPECT_EQ(d.registerText(), s.after);
        EXPECT_EQ(kt::readText(d.modulePath(kIdentityName)), s.after[0] != '\0' ? record : "");
    }
}

} // namespace
