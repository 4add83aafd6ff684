// The alert program, end to end: a recording script stands in for the
// operator's program and leaves one file per run with its arguments,
// environment and open descriptors.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n"
                             "[AERROR]\nAERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n";

// One run of the recording script.
struct AlertRun {
    std::vector<std::string> args;          // $1, $2
    std::map<std::string, std::string> env; // KESTRUN_* only
    std::map<int, std::string> fds;         // descriptor -> target
};

struct AlertFixture : ::testing::Test {
    kt::Daemon d;
    std::string dir = d.workPath("runs");

    // The script records, then runs `tail` (e.g. "sleep 3").
    void install(const std::string &tail = "") {
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        // ls lists the shell's descriptors before the shell opens any of its
        // own (a background command is redirected in its own process).
        std::string script = "#!/bin/sh\n"
                             "p=$$; f=" +
                             dir +
                             "/$p\n"
                             "ls -l /proc/$p/fd > $f.fds & wait\n"
                             "{ echo \"ARG $1\"; echo \"ARG $2\"; env | grep '^KESTRUN_' | "
                             "grep -v -e '^KESTRUN_TEST' -e '^KESTRUN_SIM'; } > $f.part\n"
                             "mv $f.part $f.txt\n" +
                             tail + "\n";
        ASSERT_TRUE(kt::Daemon::writeAbs(d.workPath("alert.sh"), script, 0755));
    }
    std::string notify(const std::string &program = "") const {
        return "[NOTIFY]\nNOTIFY_PROGRAM=" + (program.empty() ? d.workPath("alert.sh") : program) +
               "\n";
    }
    std::vector<AlertRun> runs() const {
        std::vector<AlertRun> out;
        for (const auto &name : kt::Daemon::listDir(dir)) {
            AlertRun r;
            if (name.size() < 4 || name.substr(name.size() - 4) != ".txt")
                continue;
            // "lr-x------ 1 root root 64 Dec 8 10:00 3 -> /dev/null"
            for (const auto &line :
                 kt::readLines(dir + "/" + name.substr(0, name.size() - 4) + ".fds")) {
                auto arrow = line.find(" -> ");
                if (arrow == std::string::npos)
                    continue;
                auto blank = line.rfind(' ', arrow - 1);
                r.fds[std::stoi(line.substr(blank + 1, arrow - blank - 1))] =
                    line.substr(arrow + 4);
            }
            for (const auto &line : kt::readLines(dir + "/" + name)) {
                if (line.rfind("ARG ", 0) == 0)
                    r.args.push_back(line.substr(4));
                else if (auto eq = line.find('='); eq != std::string::npos)
                    r.env[line.substr(0, eq)] = line.substr(eq + 1);
            }
            out.push_back(r);
        }
        return out;
    }
    std::vector<AlertRun> runsOf(const std::string &id) const {
        std::vector<AlertRun> out;
        for (auto &r : runs())
            if (r.env["KESTRUN_MESSAGE_ID"] == id)
                out.push_back(r);
        return out;
    }
    void start(const std::string &ini, const std::string &scenario, kt::StartOptions opts = {}) {
        ASSERT_TRUE(d.writeIni(ini));
        ASSERT_TRUE(d.writeScenario("controller 0 model=\"M\"\n" + scenario));
        ASSERT_TRUE(d.start(opts));
    }
};

// A SMART removal runs the program once with the message, its drive and the
// daemon's descriptors closed, even one the daemon itself inherited.
TEST_F(AlertFixture, RemovalRunsProgramWithDriveContext) {
    install();
    int leaked = ::open(d.workPath("alert.sh").c_str(), O_RDONLY); // no O_CLOEXEC on purpose
    ASSERT_GE(leaked, 0);
    start(std::string(kIni) + notify(),
          "drive c=0 id=5 state=spare pfail=1\nspare c=0 id=5 role=global\n");
    ::close(leaked);
    kt::completeCycles(d, 2);
    ASSERT_TRUE(kt::Daemon::waitFor([&] { return !runsOf("4000").empty(); }));
    auto got = runsOf("4000");
    ASSERT_EQ(got.size(), 1u);
    const AlertRun &r = got[0];
    auto lines = d.logLines();
    const kt::LogLine *line = kt::findLog(lines, "<4000:Error>");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(r.args, (std::vector<std::string>{"4000", line->text}));
    EXPECT_EQ(r.env.at("KESTRUN_MESSAGE"), line->text);
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    const std::map<std::string, std::string> want = {
        {"KESTRUN_SEVERITY", "Error"}, {"KESTRUN_CONTROLLER", "0"},
        {"KESTRUN_DEVICE_ID", "5"},    {"KESTRUN_REASON", "SMART"},
        {"KESTRUN_HOSTNAME", host},    {"KESTRUN_MODULE_DIR", d.moduleDir()}};
    for (const auto &[k, v] : want)
        EXPECT_EQ(r.env.count(k) ? r.env.at(k) : "<unset>", v) << k;
    for (int fd : {0, 1, 2})
        EXPECT_EQ(r.fds.count(fd) ? r.fds.at(fd) : "", "/dev/null") << fd;
    for (const auto &[fd, target] : r.fds) {
        if (fd > 2) {
            EXPECT_EQ(target, d.workPath("alert.sh")) << "descriptor " << fd << " leaked";
        }
    }
    EXPECT_TRUE(runsOf("1000").empty()); // Information messages do not alert
}

// A failure repeating every cycle pages once; a message naming no drive is
// keyed by its text and carries no drive variables.
TEST_F(AlertFixture, RepeatedFailureRunsProgramOnce) {
    install();
    start(std::string(kIni) + "[SMART]\nSMART_MODE=OFF\n[AERROR]\nAERROR_MODE=ON\n" + notify(),
          "fault cmd=evtseqinfo status=5\n");
    kt::completeCycles(d, 4);
    auto logged = kt::texts(d.logLines());
    EXPECT_GE(std::count_if(logged.begin(), logged.end(),
                            [](auto &t) { return t.rfind("<5004:", 0) == 0; }),
              4);
    ASSERT_TRUE(kt::Daemon::waitFor([&] { return !runsOf("5004").empty(); }));
    ::usleep(200 * 1000);
    auto got = runsOf("5004");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].env.count("KESTRUN_DEVICE_ID"), 0u);
    EXPECT_EQ(got[0].env.count("KESTRUN_REASON"), 0u);
}

// A program that cannot run is reported once at start; the daemon monitors on.
TEST_F(AlertFixture, UnusableProgramReportedOnceAtStart) {
    install();
    const std::string plain = d.workPath("plain"); // no execute permission
    ASSERT_TRUE(kt::Daemon::writeAbs(plain, "#!/bin/sh\n"));
    const std::string cases[] = {"/nonexistent/alert", "relative/alert", d.workPath("runs"), plain};
    for (const auto &program : cases) {
        SCOPED_TRACE(program);
        d.clearCaptures();
        ::unlink(d.modulePath(kt::kLogName).c_str());
        start(std::string(kIni) + notify(program), "drive c=0 id=5 pfail=1 state=spare\n");
        kt::completeCycles(d, 2);
        auto logged = kt::texts(d.logLines());
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                                [](auto &t) { return t.rfind("<6200:Error>", 0) == 0; }),
                  1)
            << ::testing::PrintToString(logged);
        EXPECT_NE(kt::findSyslog(d.syslog(),
                                 "<6200:Error> Alert program cannot be run. (" + program + ")"),
                  nullptr);
        EXPECT_THAT(logged, Contains(HasSubstr("<4000:Error>")));
    }
}

// A stop does not wait for a running program; the program is left to finish.
TEST_F(AlertFixture, StopLeavesRunningProgramAlone) {
    install("exec sleep 30");
    start(std::string(kIni) + notify(), "drive c=0 id=5 state=spare pfail=1\n");
    ASSERT_TRUE(d.waitWhileRunning([&] { return runs().size() == 1; }, 10000));
    auto r = d.stop(SIGTERM, 2000);
    EXPECT_TRUE(r.exitedWith(0)) << r;
    for (const auto &name : kt::Daemon::listDir(dir)) {
        if (name.find(".txt") == std::string::npos)
            continue;
        pid_t pid = std::stoi(name);
        EXPECT_EQ(::kill(-pid, SIGKILL), 0) << "program " << pid << " did not outlive the stop";
    }
}

// Beyond four programs at once the rest are counted and reported in one
// message; a program past the time limit is killed with what it started.
TEST_F(AlertFixture, BurstIsCappedAndOverdueProgramsKilled) {
    install("exec sleep 100");
    std::string scenario;
    for (int id = 0; id < 6; id++) {
        scenario += "drive c=0 id=" + std::to_string(id) + " state=spare pfail=1\n";
        scenario += "spare c=0 id=" + std::to_string(id) + " role=global\n";
    }
    kt::StartOptions opts;
    // Long enough for the first cycle's six removals on a loaded machine.
    opts.env = {{"KESTRUN_TEST_ALERT_LIMIT_MS", "2500"}};
    start(std::string(kIni) + notify(), scenario, opts);
    ASSERT_TRUE(d.waitForLog("<6201:Warning> Alert program not run for 2 messages: 4 runs "
                             "already in progress.",
                             15000));
    // Killed runs are reported per reaping pass: they add up to the four.
    auto killed = [&] {
        int n = 0;
        for (const auto &t : kt::texts(d.logLines())) {
            const std::string head = "<6202:Warning> Alert program killed after running 30 "
                                     "seconds. (";
            if (t.rfind(head, 0) == 0)
                n += std::stoi(t.substr(head.size()));
        }
        return n;
    };
    ASSERT_TRUE(d.waitWhileRunning([&] { return killed() >= 4; }, 15000));
    EXPECT_EQ(killed(), 4);
    EXPECT_EQ(runs().size(), 4u);
    EXPECT_NE(kt::findSyslog(d.syslog(), "<6201:Warning>"), nullptr);
    auto r = d.stop(SIGTERM);
    EXPECT_TRUE(r.exitedWith(0)) << r;
    // The killed programs' process groups are gone: no sleep(1) left behind.
    for (const auto &name : kt::Daemon::listDir(dir)) {
        if (name.find(".txt") == std::string::npos)
            continue;
        pid_t pid = std::stoi(name);
        EXPECT_TRUE(kt::Daemon::waitFor([&] { return ::kill(pid, 0) != 0; }, 2000)) << pid;
    }
}

} // namespace
