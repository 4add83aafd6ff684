// The test shim that every other test relies on: what it records and how it
// steers sleep, time and sigaction.
#include "capture.h"
#include "shim.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

namespace {

class ShimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kestrun_shim_reset();
        env.set("KESTRUN_TEST_SYSLOG", dir.file("syslog.txt"));
        env.set("KESTRUN_TEST_SLEEP_LOG", dir.file("sleep.txt"));
        env.unset("KESTRUN_TEST_SLEEP_MS");
        env.unset("KESTRUN_TEST_TIME");
        env.unset("KESTRUN_TEST_FAIL_SIGACTION");
    }
    void TearDown() override {
        kestrun_shim_reset();
    }
    kt::TempDir dir;
    kt::ScopedEnv env;
};

TEST_F(ShimTest, SyslogRecordsTheConnectionStateAndEscapedText) {
    syslog(LOG_WARNING, "before %d", 1);
    openlog("my ident\\x", LOG_PID | LOG_NDELAY, LOG_LOCAL0);
    errno = ENOENT;
    syslog(LOG_ERR, "a\nb\r\\c %s %m", "x y");
    closelog();
    syslog(LOG_INFO, "%s", "after");
    auto recs = kt::readSyslogRecords(dir.file("syslog.txt"));
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].ident, "");
    EXPECT_FALSE(recs[0].open);
    EXPECT_EQ(recs[0].text, "before 1");
    EXPECT_EQ(recs[1].ident, "my ident\\x");
    EXPECT_EQ(recs[1].option, LOG_PID | LOG_NDELAY);
    EXPECT_EQ(recs[1].facility, LOG_LOCAL0);
    EXPECT_EQ(recs[1].priority, LOG_ERR);
    EXPECT_TRUE(recs[1].open);
    EXPECT_EQ(recs[1].text, "a\nb\r\\c x y No such file or directory");
    EXPECT_FALSE(recs[2].open);
    EXPECT_EQ(recs[2].ident, "my ident\\x");
}

TEST_F(ShimTest, SleepIsCountedLoggedAndShortened) {
    env.set("KESTRUN_TEST_SLEEP_MS", "5");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sleep(3), 0u);
    EXPECT_EQ(sleep(0), 0u);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 15);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(kestrun_shim_sleep_calls, 2u);
    EXPECT_EQ(kestrun_shim_sleep_seconds, 3u);
    EXPECT_EQ(kt::readText(dir.file("sleep.txt")), "sleep 3\nsleep 0\n");
    kestrun_shim_reset();
    EXPECT_EQ(kestrun_shim_sleep_calls, 0u);
}

TEST_F(ShimTest, TimeIsFixedOnlyWhenAsked) {
    env.set("KESTRUN_TEST_TIME", "1709622489");
    time_t out = 0;
    EXPECT_EQ(time(&out), 1709622489);
    EXPECT_EQ(out, 1709622489);
    env.unset("KESTRUN_TEST_TIME");
    EXPECT_GT(time(nullptr), 1709622489);
}

TEST_F(ShimTest, SigactionFailsForTheListedSignalsOnly) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    struct sigaction old {};
    env.set("KESTRUN_TEST_FAIL_SIGACTION", "15,10");
    errno = 0;
    EXPECT_EQ(sigaction(SIGTERM, &sa, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sigaction(SIGUSR1, &sa, nullptr), -1);
    EXPECT_EQ(sigaction(SIGTERM, nullptr, &old), 0) << "queries are not installs";
    EXPECT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    EXPECT_EQ(sigaction(SIGUSR2, &old, nullptr), 0);
}

} // namespace
