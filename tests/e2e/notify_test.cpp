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

// Collects datagrams in arrival order; for every READY=1 also whether the
// mode summary was in the log at that moment.
class Listener {
  public:
    Listener(const std::string &path, bool abstract) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string name = abstract ? path.substr(1) : path;
        memcpy(a.sun_path + (abstract ? 1 : 0), name.data(), name.size());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0;
    }
    ~Listener() {
        if (fd_ >= 0)
            close(fd_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    bool ok() const {
        return ok_;
    }
    const std::vector<std::string> &drain(const kt::Daemon &d) {
        char buf[512];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) >= 0;) {
            got_.emplace_back(buf, static_cast<size_t>(n));
            if (got_.back() == "READY=1")
                readyAfter1001_ = kt::findLog(d.logLines(), "<1001:") != nullptr;
        }
        return got_;
    }
    bool has(const std::string &msg) const {
        return std::find(got_.begin(), got_.end(), msg) != got_.end();
    }
    size_t count(const std::string &msg) const {
        return static_cast<size_t>(std::count(got_.begin(), got_.end(), msg));
    }
    bool readyAfter1001() const {
        return readyAfter1001_;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    bool readyAfter1001_ = false;
    std::vector<std::string> got_;
};

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
    Listener l(sock, c.abstract);
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
    for (const auto &m : got)
        EXPECT_TRUE(m == "READY=1" || m == "STOPPING=1" || m == "WATCHDOG=1" ||
                    m.rfind("STATUS=", 0) == 0)
            << m;
    // One ping at least per cycle, per second of every pause and around the
    // pause after the removal: the sleeps bound the number of silent stretches.
    size_t pings = l.count("WATCHDOG=1");
    if (c.pings)
        EXPECT_GE(pings, d.sleepLog().size()) << ::testing::PrintToString(got);
    else
        EXPECT_EQ(pings, 0u);
    EXPECT_THAT(d.sleepLog(), ::testing::Contains("sleep 5"));
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

} // namespace
