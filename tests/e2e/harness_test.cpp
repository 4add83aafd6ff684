// The harness's own guards: a sanitizer report on the daemon's stderr fails
// the test, and a daemon left running does not outlive it.
#include "harness.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

namespace {

TEST(Harness, SanitizerReportOnStderrFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            kt::Daemon d;
            kt::Daemon::writeAbs(d.stderrPath(),
                                 "x.cpp:1:2: runtime error: signed integer overflow\n");
        },
        "sanitizer report");
}

TEST(Harness, DaemonLeftRunningIsKilledWithItsChildren) {
    pid_t pid = -1;
    {
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.waitForSleeps(1));
        pid = d.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_NE(::kill(pid, 0), 0) << "process " << pid << " still exists";
}

TEST(Harness, ExitStatusAndSignalAreTold) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForSleeps(1));
    EXPECT_FALSE(d.waitExit(20).finished);
    EXPECT_TRUE(d.running());
    ASSERT_TRUE(d.signal(SIGKILL));
    auto r = d.waitExit();
    EXPECT_TRUE(r.finished);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_FALSE(d.running());
}

} // namespace
