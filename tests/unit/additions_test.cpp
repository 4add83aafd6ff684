// Settings of the alert program, the metrics file and observe mode, and the
// alert program's repeat filter.
#include "alert/alert.h"
#include "config/settings.h"
#include "process/process.h"
#include "metrics/metrics.h"
#include "service/notify.h"
#include "capture.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct AdditionsSettings : ::testing::Test {
    kt::TempDir dir;
    void SetUp() override {
        std::snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
        vSettingsDefault();
    }
    void read(const std::string &ini) {
        ASSERT_TRUE(dir.write("Kestrun.ini", ini));
        ASSERT_EQ(iIniFileRead(), 1);
    }
};

TEST_F(AdditionsSettings, KeysFollowTheReaderRules) {
    const struct {
        const char *ini;
        const char *program;
        const char *metrics;
        int action;
        const char *unknown = ""; // the ACTION_MODE value kept for the warning
    } table[] = {
        {"", "", "", ACTION_REMOVE},
        {"[NOTIFY]\nNOTIFY_PROGRAM=/usr/local/bin/page me\r\n", "/usr/local/bin/page me", "",
         ACTION_REMOVE},
        {"[METRICS]\nMETRICS_FILE=/var/lib/node/k.prom\n", "", "/var/lib/node/k.prom",
         ACTION_REMOVE},
        {"[ACTION]\nACTION_MODE=OBSERVE\n", "", "", ACTION_OBSERVE},
        {"[ACTION]\nACTION_MODE=OBSERVED\n", "", "", ACTION_OBSERVE}, // prefix, like ON
        // A safety switch: present but not understood means observe mode.
        {"[ACTION]\nACTION_MODE=observe\n", "", "", ACTION_OBSERVE, "observe"},
        {"[ACTION]\nACTION_MODE= OBSERVE\r\n", "", "", ACTION_OBSERVE, " OBSERVE"},
        {"[ACTION]\nACTION_MODE=OFF\n", "", "", ACTION_OBSERVE, "OFF"},
        {"[ACTION]\nACTION_MODE=\x1b\n", "", "", ACTION_OBSERVE, "?"},
        {"[ACTION]\nACTION_MODE=OBSERVE\nACTION_MODE=xyz\n", "", "", ACTION_OBSERVE, "xyz"},
        {"[ACTION]\nACTION_MODE=xyz\nACTION_MODE=REMOVE\n", "", "", ACTION_REMOVE},
        {"[ACTION]\nACTION_MODE=REMOVE\n", "", "", ACTION_REMOVE},
        {"[ACTION]\nACTION_MODE=\n", "", "", ACTION_REMOVE},          // empty: as if absent
        {"[ACTION]\nACTION_MODE = OBSERVE\n", "", "", ACTION_REMOVE}, // not KEY=value
        // Only inside their own section; a comment line is no key.
        {"[SMART]\nNOTIFY_PROGRAM=/x\nMETRICS_FILE=/y\nACTION_MODE=OBSERVE\n", "", "",
         ACTION_REMOVE},
        {"[NOTIFY]\n#NOTIFY_PROGRAM=/x\n", "", "", ACTION_REMOVE},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.ini);
        read(row.ini);
        EXPECT_STREQ(g_cNotifyProgram, row.program);
        EXPECT_STREQ(g_cMetricsFile, row.metrics);
        EXPECT_EQ(g_iActionMode, row.action);
        EXPECT_STREQ(g_cActionModeUnknown, row.unknown);
    }
}

// A cut path would run or write whatever lies there: refused instead, the
// setting off and the start of the value kept for the report.
TEST_F(AdditionsSettings, LongPathIsRefusedNotCut) {
    const std::string fits = "/" + std::string(254, 'p'), over = fits + "q";
    const struct {
        std::string lines; // under both sections' key
        std::string entry, tooLong;
    } table[] = {
        {"=" + fits + "\n", fits, ""},
        {"=" + over + "\n", "", fits},
        {"=/" + std::string(400, 'm') + "\n", "", "/" + std::string(254, 'm')},
        {"=" + over + "\nKEY=/later\n", "/later", ""},
        {"=/earlier\nKEY=" + over + "\n", "", fits},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.lines);
        auto both = [&](const char *key) {
            std::string l = row.lines;
            for (size_t at; (at = l.find("KEY")) != std::string::npos;)
                l.replace(at, 3, key);
            return key + l;
        };
        read("[NOTIFY]\n" + both("NOTIFY_PROGRAM") + "[METRICS]\n" + both("METRICS_FILE"));
        EXPECT_EQ(std::string(g_cNotifyProgram), row.entry);
        EXPECT_EQ(std::string(g_cNotifyProgramTooLong), row.tooLong);
        EXPECT_EQ(std::string(g_cMetricsFile), row.entry);
        EXPECT_EQ(std::string(g_cMetricsFileTooLong), row.tooLong);
    }
}

TEST(AlertRepeat, OncePerWindowPerKey) {
    vAlertReset();
    const struct {
        uint64_t key;
        long long now;
        bool pass;
    } steps[] = {
        {1, 100, true},   {1, 101, false},  {2, 101, true},  {1, 3699, false}, {1, 3700, true},
        {1, 3701, false}, {2, 3700, false}, {2, 3701, true}, {1, 50, true}, // clock went back
    };
    for (const auto &s : steps)
        EXPECT_EQ(bAlertRepeatPass(s.key, s.now, 3600), s.pass) << s.key << "@" << s.now;
}

TEST(AlertRepeat, FullTableForgetsTheOldest) {
    vAlertReset();
    for (int k = 0; k < ALERT_REPEAT_ENTRIES; k++)
        ASSERT_TRUE(bAlertRepeatPass(static_cast<uint64_t>(k), k, 3600));
    EXPECT_TRUE(bAlertRepeatPass(9999, 500, 3600));  // takes key 0's place
    EXPECT_TRUE(bAlertRepeatPass(0, 501, 3600));     // forgotten, so it passes
    EXPECT_FALSE(bAlertRepeatPass(9999, 502, 3600)); // still remembered
    EXPECT_FALSE(bAlertRepeatPass(ALERT_REPEAT_ENTRIES - 1, 503, 3600));
    vAlertReset();
}

// The file replaces its predecessor whole and readable by others.
TEST_F(AdditionsSettings, MetricsFileIsReplacedWhole) {
    std::snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "%s", dir.file("k.prom").c_str());
    ASSERT_TRUE(dir.write("k.prom", std::string(100000, 'x')));
    ::chmod(dir.file("k.prom").c_str(), 0600);
    mode_t old = ::umask(077);
    vMetricsReset();
    vMetricsDrive(0, 7, 24, 1, 2, 252, 7);
    EXPECT_EQ(iMetricsWrite(1, 0, 1700000000), 0);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("k.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    std::FILE *f = std::fopen(dir.file("k.prom").c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string text(static_cast<size_t>(st.st_size), '\0');
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
    std::fclose(f);
    EXPECT_EQ(text.find('x'), std::string::npos);
    EXPECT_NE(text.find("\nkestrun_drive_media_errors{controller=\"0\",device_id=\"7\",enclosure="
                        "\"252\",slot=\"7\"} 2\n"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file(".k.prom.tmp")));
    // A directory that is gone: the error, and no file made elsewhere.
    std::snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "%s", dir.file("gone/k.prom").c_str());
    EXPECT_EQ(iMetricsWrite(1, 0, 1700000000), ENOENT);
    // A directory in the file's place: its error, and no temporary file left.
    ASSERT_EQ(::mkdir(dir.file("d.prom").c_str(), 0755), 0);
    std::snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "%s", dir.file("d.prom").c_str());
    EXPECT_EQ(iMetricsWrite(1, 0, 1700000000), EISDIR);
    EXPECT_FALSE(std::filesystem::exists(dir.file(".d.prom.tmp")));
    std::snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "k.prom"); // relative: never written
    EXPECT_EQ(iMetricsWrite(1, 0, 1700000000), EINVAL);
    // A write cut short (here by a file-size limit, as the daemon ignores
    // SIGXFSZ): its error, the old file kept, no temporary file left.
    std::snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "%s", dir.file("k.prom").c_str());
    const std::string before = kt::readText(dir.file("k.prom"));
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    struct rlimit small = limit;
    small.rlim_cur = 64;
    auto *previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int err = iMetricsWrite(1, 0, 1700000000);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(kt::readText(dir.file("k.prom")), before);
    EXPECT_FALSE(std::filesystem::exists(dir.file(".k.prom.tmp")));
    g_cMetricsFile[0] = '\0';
    vMetricsReset();
}

// Watchdog pings go out only for a well-formed interval meant for this process.
TEST(NotifyWatchdog, PingsOnlyForAValidIntervalOfThisProcess) {
    kt::TempDir dir;
    kt::ScopedEnv env;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", dir.file("n.sock").c_str());
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    env.set("NOTIFY_SOCKET", addr.sun_path);
    const std::string me = std::to_string(::getpid());
    const struct {
        const char *usec;
        const char *pid; // nullptr: unset
        bool ping;
    } rows[] = {
        {"40000", nullptr, true},
        {"3", me.c_str(), true}, // below 4 µs: still pings
        {"40000", "1", false},
        {"0", nullptr, false},
        {"4x", nullptr, false},
        {"40000", "12x", false},
        {"99999999999999999999999", nullptr, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.usec) + " pid " + (r.pid != nullptr ? r.pid : "unset"));
        env.set("WATCHDOG_USEC", r.usec);
        if (r.pid != nullptr)
            env.set("WATCHDOG_PID", r.pid);
        else
            env.unset("WATCHDOG_PID");
        ASSERT_EQ(iNotifyInit(), 1);
        vNotifyAlive();
        char buf[32];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        EXPECT_EQ(n > 0 && std::string(buf, static_cast<size_t>(n)) == "WATCHDOG=1", r.ping);
    }
    ::close(fd);
    env.unset("NOTIFY_SOCKET");
    EXPECT_EQ(iNotifyInit(), 0);
}

} // namespace
