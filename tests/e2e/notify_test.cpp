// The service manager's view of the real binary: a datagram listener stands in
// for $NOTIFY_SOCKET (path and abstract forms) and collects what the daemon
// says: readiness only once the mode summary is logged, the status line after
// each cycle, watchdog pings through the cycle pause and the pause after a
// removal, and STOPPING=1 on SIGTERM.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Listener = kt::NotifyListener;

struct Case {
    const char *name;
    bool abstract;
    const char *watchdogUsec; // nullptr: unset
    const char *watchdogPid;  // nullptr: unset
    bool pings;
};
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class Notify : public ::testing::TestWithParam<Case> {};

// A hot spare with a predictive failure (removed at once) and an array member
// with one (removed with the pause after it): two removals in cycle 1.
constexpr const char *kScenario = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
                                  "drive c=0 id=4 state=online pfail=1\n"
                                  "drive c=0 id=5 state=online\n"
                                  "drive c=0 id=6 state=spare pfail=1\n"
                                  "ld c=0 n=0 raid=1 state=optimal members=4,5\n";

TEST_P(Notify, ReadyStatusWatchdogAndStopping) {
    const Case &c = GetParam();
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario(kScenario));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=2000\n[AERROR]\nAERROR_MODE=OFF\n"));
    std::string sock = d.workPath("notify.sock");
    if (c.abstract)
        sock = "@kestrun-test-" + std::to_string(getpid());
    Listener l(sock);
    ASSERT_TRUE(l.ok());

    kt::StartOptions o;
    o.sleepMs = 20; // each second slept lasts longer than the ping spacing
    o.env.push_back({"NOTIFY_SOCKET", sock});
    if (c.watchdogUsec != nullptr)
        o.env.push_back({"WATCHDOG_USEC", c.watchdogUsec});
    if (c.watchdogPid != nullptr)
        o.env.push_back({"WATCHDOG_PID", c.watchdogPid});
    ASSERT_TRUE(d.start(o));

    const std::regex status("STATUS=Last cycle \\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d, "
                            "3 drives watched, 2 removed this run");
    auto statusSeen = [&] {
        for (const auto &m : l.drain(d))
            if (std::regex_match(m, status))
                return true;
        return false;
    };
    ASSERT_TRUE(d.waitWhileRunning(statusSeen, 10000))
        << ::testing::PrintToString(l.drain(d));
    ASSERT_TRUE(d.waitForSleeps(8, 10000)); // the removal pause and a few cycle pauses
    EXPECT_FALSE(l.has("STOPPING=1"));
    auto r = d.stop(SIGTERM);
    ASSERT_TRUE(r.exitedWith(0)) << r;
    const auto &got = l.drain(d);

    EXPECT_EQ(l.count("READY=1"), 1u);
    EXPECT_TRUE(l.readyAfter1001()) << "READY=1 before the mode summary was logged";
    auto ready = std::find(got.begin(), got.end(), "READY=1");
    auto first = std::find_if(got.begin(), got.end(),
                              [](const std::string &m) { return m.rfind("STATUS=", 0) == 0; });
    EXPECT_LT(ready - got.begin(), first - got.begin()) << "status before readiness";
    EXPECT_EQ(l.count("STOPPING=1"), 1u);
    EXPECT_EQ(got.back(), "STOPPING=1");
    const std::string extend = "EXTEND_TIMEOUT_USEC=60000000";
    for (const auto &m : got)
        EXPECT_TRUE(m == "READY=1" || m == "STOPPING=1" || m == "WATCHDOG=1" || m == extend ||
                    m.rfind("STATUS=", 0) == 0)
            << m;
    // The start is extended while it makes progress, and only the start.
    auto lastExtend = std::find(got.rbegin(), got.rend(), extend);
    ASSERT_NE(lastExtend, got.rend()) << "no start extension";
    EXPECT_LT(got.rend() - lastExtend - 1, ready - got.begin()) << "extended after readiness";
    // One ping at least per cycle, per second of every pause and around the
    // pause after the removal: the sleeps bound the number of silent stretches.
    size_t pings = l.count("WATCHDOG=1");
    if (c.pings)
        EXPECT_GE(pings, d.sleepLog().size()) << ::testing::PrintToString(got);
    else
        EXPECT_EQ(pings, 0u);
    // The pause after the removal too is slept in pinged one-second steps.
    EXPECT_THAT(d.sleepLog(), ::testing::Each("sleep 1"));
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, Notify,
    ::testing::Values(Case{"PathSocketWithWatchdog", false, "40000", nullptr, true},
                      Case{"AbstractSocketWithWatchdog", true, "40000", nullptr, true},
                      Case{"NoWatchdogAsked", false, nullptr, nullptr, false},
                      Case{"WatchdogForAnotherProcess", false, "40000", "1", false},
                      Case{"WatchdogOff", true, "0", nullptr, false}),
    [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

// A socket nobody listens on, or a variable the daemon cannot use, changes
// nothing: the daemon starts, polls and stops as it would without one.
TEST(NotifyUnusable, DaemonRunsUnchanged) {
    for (const char *value : {"relative/path", "/nonexistent/dir/notify.sock", "@", ""}) {
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeScenario("controller 0 model=\"x\"\n"));
        ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
        kt::StartOptions o;
        o.env = {{"NOTIFY_SOCKET", value}, {"WATCHDOG_USEC", "1000"}};
        ASSERT_TRUE(d.start(o));
        ASSERT_TRUE(d.waitForSleeps(2)) << value;
        auto r = d.stop(SIGTERM);
        EXPECT_TRUE(r.exitedWith(0)) << value << ": " << r;
        EXPECT_TRUE(d.stderrText().empty()) << value;
    }
}

// A manager that never reads its socket: the queue fills within a few
// cycles, and from then on every datagram is dropped. Cycles go on, the
// pause after a removal included, and SIGTERM still ends the daemon.
TEST(NotifyUnread, CyclesGoOnAndSigtermEndsTheDaemon) {
    for (const char *form : {"path", "@abstract"}) {
        SCOPED_TRACE(form);
        kt::Daemon d;
        ASSERT_TRUE(d.setUp(kScenario, "[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));
        std::string sock = form[0] == '@' ? "@kestrun-unread-" + std::to_string(getpid())
                                          : d.workPath("notify.sock");
        kt::NotifyListener never(sock);
        ASSERT_TRUE(never.ok());
        kt::StartOptions o;
        o.env = {{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "4000"}};
        ASSERT_TRUE(d.start(o));
        ASSERT_TRUE(d.waitForSleeps(60, 20000)) << d.sleepLog().size() << " sleeps";
        auto r = d.stop(SIGTERM);
        EXPECT_TRUE(r.exitedWith(0)) << r;
        EXPECT_THAT(d.registerLines(), ::testing::ElementsAre("0,4", "0,6"));
    }
}

// A drive list claiming 2^31 entries or more is read as its 256 and counted
// so: never a negative number of drives watched.
TEST(NotifyStatus, DriveListCountsAreClippedToTheReply) {
    const struct {
        const char *claimed;
        const char *watched; // both controllers
    } rows[] = {{"2147483648", "512"}, {"4294967295", "512"}, {"300", "512"}, {"1", "2"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.claimed);
        kt::Daemon d;
        std::string s;
        for (const char *c : {"0", "1"})
            // Id 0: the entries past the real one read as drive 0.
            s += std::string("controller ") + c + "\ndrive c=" + c + " id=0 state=online\n" +
                 "override field=pdcount c=" + c + " value=" + row.claimed + "\n";
        ASSERT_TRUE(d.setUp(s, "[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));
        kt::NotifyListener l(d.workPath("notify.sock"));
        ASSERT_TRUE(l.ok());
        ASSERT_TRUE(d.start(l.options()));
        const std::regex status(std::string("STATUS=Last cycle .*, ") + row.watched +
                                " drives watched, 0 removed this run");
        EXPECT_TRUE(d.waitWhileRunning([&] { return l.anyMatch(d, status); }, 10000))
            << ::testing::PrintToString(l.drain(d));
        auto r = d.stop(SIGTERM);
        EXPECT_TRUE(r.exitedWith(0)) << r;
    }
}

// A start whose register re-application is slow keeps extending its start
// timeout while commands go on: each command it waits for more than a
// second is followed by a new extension.
TEST(NotifyStart, SlowRegisterReapplicationExtendsTheStartTimeout) {
    kt::Daemon d;
    ASSERT_TRUE(d.setUp("controller 0\ndrive c=0 id=4 state=ugood\ndrive c=0 id=5 state=ugood\n"
                        "hold cmd=pdinfo ms=1100 times=2\n",
                        "[WAIT]\nLWAIT_TIME=1000\n[SMART]\nSMART_MODE=OFF\n"
                        "[MEDIUM]\nMC_MODE=OFF\n[AERROR]\nAERROR_MODE=OFF\n"));
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, "0,4\n0,5\n"));
    kt::NotifyListener l(d.workPath("notify.sock"));
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(d.start(l.options()));
    ASSERT_TRUE(d.waitWhileRunning([&] { return l.drain(d), l.has("READY=1"); }, 10000));
    auto r = d.stop(SIGTERM);
    EXPECT_TRUE(r.exitedWith(0)) << r;
    const auto &got = l.drain(d);
    auto ready = std::find(got.begin(), got.end(), "READY=1");
    EXPECT_GE(std::count(got.begin(), ready, "EXTEND_TIMEOUT_USEC=60000000"), 3)
        << ::testing::PrintToString(got);
    EXPECT_EQ(std::count(ready, got.end(), "EXTEND_TIMEOUT_USEC=60000000"), 0);
}

} // namespace
