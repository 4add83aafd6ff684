// Signals other than the two stop signals, sent to the real binary: none of
// them ends the daemon silently. SIGHUP restarts it in place (same process
// id) to read its settings, SIGUSR1 ends the pause, SIGUSR2 and SIGALRM are
// ignored with a warning, SIGPIPE is ignored.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>

namespace {

struct Row {
    const char *name;
    int sig;
    const char *text; // logged once the signal is handled; nullptr: nothing
    bool restarts;
    bool wakes; // the next cycle starts long before the pause would end
};

TEST(Signals, NoneEndsTheDaemonSilently) {
    const Row rows[] = {
        {"Hangup", SIGHUP,
         "<6022:Information> SIGHUP received. Predictive Failure monitor restarts to read its "
         "settings again.",
         true, true},
        {"User1", SIGUSR1, nullptr, false, true},
        {"User2", SIGUSR2, "<6024:Warning> Signal SIGUSR2 received and ignored.", false, false},
        {"Alarm", SIGALRM, "<6024:Warning> Signal SIGALRM received and ignored.", false, false},
        {"Pipe", SIGPIPE, nullptr, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        kt::Daemon d;
        // A pause of 600 s at 50 ms each: no second cycle without a wake-up.
        ASSERT_TRUE(d.setUp("controller 0\ndrive c=0 id=3 state=online\n",
                            "[WAIT]\nLWAIT_TIME=600000\n[AERROR]\nAERROR_MODE=OFF\n"));
        kt::NotifyListener l(d.workPath("notify.sock"));
        ASSERT_TRUE(l.ok());
        kt::StartOptions o = l.options();
        o.sleepMs = 50;
        ASSERT_TRUE(d.start(o));
        ASSERT_TRUE(d.waitForSleeps(1)) << d.stderrText();
        const pid_t pid = d.pid();
        // The new settings only a restart reads.
        ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=600000\n[AERROR]\nAERROR_MODE=OFF\n"
                               "[POLL]\nPOLL_EVENT=ON\n"));
        ASSERT_TRUE(d.signal(row.sig));
        if (row.text != nullptr)
            EXPECT_TRUE(d.waitForLog(row.text)) << ::testing::PrintToString(kt::texts(d.logLines()));
        if (row.wakes)
            EXPECT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist "), 2));
        else
            EXPECT_TRUE(d.waitForSleeps(d.sleepLog().size() + 3));
        if (row.restarts) {
            ASSERT_TRUE(d.waitForLog("<1010:"));
            EXPECT_EQ(countLog(d, "<1000:"), 2u);
            // Still the one monitor: the lock went over to the new image.
            kt::Daemon other;
            ASSERT_TRUE(other.installDaemon());
            kt::StartOptions same;
            same.execPath = d.daemonPath();
            same.argv0 = d.daemonPath();
            ASSERT_TRUE(other.start(same));
            EXPECT_TRUE(other.waitExit().exitedWith(3));
        }
        EXPECT_TRUE(d.running());
        EXPECT_EQ(d.pid(), pid);
        auto r = d.stop(SIGTERM);
        EXPECT_TRUE(r.exitedWith(0)) << r;
        EXPECT_EQ(countLog(d, "<1010:"), row.restarts ? 1u : 0u);
        l.drain(d);
        EXPECT_EQ(l.count("READY=1"), row.restarts ? 2u : 1u);
        EXPECT_EQ(std::count_if(l.drain(d).begin(), l.drain(d).end(),
                                [](const std::string &m) { return m.rfind("RELOADING=1\n", 0) == 0; }),
                  row.restarts ? 1 : 0);
        EXPECT_EQ(countLog(d, "<6024:"), row.sig == SIGUSR2 || row.sig == SIGALRM ? 1u : 0u);
    }
}

// A restart the system refuses ends the run with a word, for the unit to
// start it again.
TEST(Signals, RestartThatCannotExecuteIsReported) {
    kt::Daemon d;
    ASSERT_TRUE(d.setUp("controller 0\ndrive c=0 id=3 state=online\n", "[WAIT]\nLWAIT_TIME=600000\n"));
    kt::StartOptions o;
    o.sleepMs = 50;
    o.env = {{"KESTRUN_TEST_FAIL_RESTART", "13"}};
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.waitForSleeps(1)) << d.stderrText();
    ASSERT_TRUE(d.signal(SIGHUP));
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(1)) << r;
    EXPECT_TRUE(d.waitForLog("<6023:Error> Restart failed. Error Code (13). Predictive Failure "
                             "monitor has shutdown."));
}

} // namespace
