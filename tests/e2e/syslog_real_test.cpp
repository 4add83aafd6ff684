// The real C library's syslog path into a real rsyslogd: the daemon runs
// without the test shim in a private mount namespace whose /dev (an overlay
// of the host's) has /dev/log pointing at the test's own rsyslogd socket, so
// the host's logger is never touched. Checks identity, process id, facility
// and priority of what arrives.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// rsyslogd with its own configuration, work directory, pid file and socket,
// writing "program|pid|facility|severity|text" lines.
class Rsyslog {
  public:
    explicit Rsyslog(const std::string &dir) : dir_(dir) {
        ::mkdir((dir + "/rs-work").c_str(), 0700);
        std::string conf =
            "global(workDirectory=\"" + dir + "/rs-work\")\n"
            "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
            "input(type=\"imuxsock\" Socket=\"" + socket() + "\" RateLimit.Interval=\"0\")\n"
            "template(name=\"t\" type=\"string\" string=\"%programname%|%procid%|"
            "%syslogfacility-text%|%syslogseverity-text%|%msg:2:$%\\n\")\n"
            "*.* action(type=\"omfile\" file=\"" + output() + "\" template=\"t\")\n";
        if (!kt::Daemon::writeAbs(dir + "/rsyslog.conf", conf))
            return;
        std::string cfg = dir + "/rsyslog.conf", pidf = dir + "/rsyslog.pid";
        std::vector<std::string> args = {"rsyslogd", "-n", "-f", cfg, "-i", pidf};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "rsyslogd", nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Rsyslog() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
    }
    Rsyslog(const Rsyslog &) = delete;
    Rsyslog &operator=(const Rsyslog &) = delete;
    bool ready() const {
        struct stat st {};
        return pid_ > 0 && kt::Daemon::waitFor([&] {
                   return ::stat(socket().c_str(), const_cast<struct stat *>(&st)) == 0;
               });
    }
    std::string socket() const {
        return dir_ + "/log.sock";
    }
    std::string output() const {
        return dir_ + "/syslog.out";
    }

  private:
    std::string dir_;
    pid_t pid_ = -1;
};

// Starts the daemon in a private mount namespace where /dev/log is the test's.
kt::StartOptions privateDevLog(kt::Daemon &d, const std::string &sock) {
    std::string script = "#!/bin/sh\nset -e\n"
                         "mkdir -p '" + d.root() + "/dev-upper' '" + d.root() + "/dev-work'\n"
                         "exec unshare -m --propagation private /bin/sh -c '"
                         "mount -t overlay overlay -o lowerdir=/dev,upperdir=" + d.root() +
                         "/dev-upper,workdir=" + d.root() + "/dev-work /dev && "
                         "ln -sf " + sock + " /dev/log && exec \"$0\"' '" + d.daemonPath() + "'\n";
    kt::Daemon::writeAbs(d.workPath("run.sh"), script, 0755);
    kt::StartOptions o;
    o.preloadShim = false;
    o.execPath = d.workPath("run.sh");
    return o;
}

struct Line {
    std::string program, pid, facility, severity, text;
};

std::vector<Line> received(const Rsyslog &rs) {
    std::vector<Line> out;
    for (const auto &raw : kt::readLines(rs.output())) {
        Line l;
        std::string *f[] = {&l.program, &l.pid, &l.facility, &l.severity, &l.text};
        size_t from = 0;
        for (int i = 0; i < 4; ++i) {
            size_t bar = raw.find('|', from);
            if (bar == std::string::npos)
                break;
            *f[i] = raw.substr(from, bar - from);
            from = bar + 1;
        }
        l.text = raw.substr(from);
        out.push_back(l);
    }
    return out;
}

const char *severityFor(const std::string &text) {
    if (text.find(":Information>") != std::string::npos)
        return "info";
    if (text.find(":Warning>") != std::string::npos)
        return "warning";
    return "err";
}

bool receivedText(const Rsyslog &rs, const std::string &needle) {
    for (const auto &l : received(rs))
        if (l.text.find(needle) != std::string::npos)
            return true;
    return false;
}

class RealSyslog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a private mount namespace";
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeScenario("controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
                                    "drive c=0 id=6 state=spare pfail=1\n"));
        ASSERT_TRUE(rs.ready()) << "rsyslogd did not start";
    }
    // Every message that arrived is the daemon's, with its pid, facility user
    // and the priority its severity word calls for, and was also logged.
    void checkAll(pid_t pid) {
        auto lines = received(rs);
        auto log = kt::texts(d.logLines());
        ASSERT_FALSE(lines.empty());
        for (const auto &l : lines) {
            SCOPED_TRACE(l.text);
            EXPECT_EQ(l.program, "Kestrun");
            EXPECT_EQ(l.pid, std::to_string(pid));
            EXPECT_EQ(l.facility, "user");
            EXPECT_EQ(l.severity, severityFor(l.text));
            EXPECT_THAT(log, ::testing::Contains(l.text));
        }
    }
    kt::Daemon d;
    Rsyslog rs{d.root()};
};

TEST_F(RealSyslog, StartModeRemovalAndStopArriveWithIdentityPidAndPriority) {
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
    ASSERT_TRUE(d.start(privateDevLog(d, rs.socket())));
    ASSERT_TRUE(d.waitWhileRunning([&] { return receivedText(rs, "<4000:"); }, 20000))
        << d.stderrText() << ::testing::PrintToString(kt::texts(d.logLines()));
    auto r = d.stop(SIGTERM, 10000);
    ASSERT_TRUE(r.exitedWith(0)) << r << d.stderrText();
    ASSERT_TRUE(kt::Daemon::waitFor([&] { return received(rs).size() >= 3; }));
    for (const char *n : {"<1000:", "<1001:", "<4000:"})
        EXPECT_TRUE(receivedText(rs, n)) << n;
    checkAll(d.lastPid());
}

TEST_F(RealSyslog, MissingSettingsFileArrivesAsError) {
    ASSERT_TRUE(d.start(privateDevLog(d, rs.socket())));
    auto r = d.waitExit(10000);
    ASSERT_TRUE(r.finished) << r;
    ASSERT_TRUE(kt::Daemon::waitFor([&] { return receivedText(rs, "<2000:"); }));
    checkAll(d.lastPid());
}

} // namespace
