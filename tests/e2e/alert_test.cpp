// The alert program, end to end: a recording script stands in for the
// operator's program and leaves one file per run with its arguments,
// environment and open descriptors.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <set>
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
        ASSERT_TRUE(::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST);
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
    void clearRuns() const {
        for (const auto &name : kt::Daemon::listDir(dir))
            ::unlink((dir + "/" + name).c_str());
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
    // Started as "./Kestrun" from the module directory: the program must
    // still be told an absolute module directory.
    kt::StartOptions fromModuleDir() const {
        kt::StartOptions o;
        o.argv0 = "./Kestrun";
        o.cwd = d.moduleDir();
        return o;
    }
    std::string absoluteModuleDir() const {
        char real[PATH_MAX];
        return ::realpath(d.moduleDir().c_str(), real) != nullptr ? real : "";
    }
    // Global spares 0..n-1, each condemned by SMART in the first cycle.
    static std::string spares(int n) {
        std::string out;
        for (int id = 0; id < n; id++)
            out += "drive c=0 id=" + std::to_string(id) +
                   " state=spare pfail=1\nspare c=0 id=" + std::to_string(id) + " role=global\n";
        return out;
    }
    size_t logged(const std::string &head) const {
        auto t = kt::texts(d.logLines());
        return std::count_if(t.begin(), t.end(), [&](auto &x) { return x.rfind(head, 0) == 0; });
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

// Beyond four programs at once the rest wait and start as slots free (a
// program past the time limit is killed with what it started, freeing one):
// every removal of the burst pages, each with its own drive.
TEST_F(AlertFixture, BurstWaitsForSlotsAndOverdueProgramsKilled) {
    install("exec sleep 100");
    kt::StartOptions opts = fromModuleDir();
    opts.env = {{"KESTRUN_TEST_ALERT_LIMIT_MS", "1500"}};
    start(std::string(kIni) + notify(), spares(6), opts);
    // Killed runs are reported per reaping pass: they add up to the six.
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
    ASSERT_TRUE(d.waitWhileRunning([&] { return killed() >= 6; }, 15000));
    EXPECT_EQ(killed(), 6);
    std::set<std::string> drives;
    for (auto &r : runs()) {
        drives.insert(r.env["KESTRUN_DEVICE_ID"]);
        EXPECT_EQ(r.env["KESTRUN_MODULE_DIR"], absoluteModuleDir());
    }
    EXPECT_EQ(drives, (std::set<std::string>{"0", "1", "2", "3", "4", "5"}));
    EXPECT_EQ(logged("<6201:"), 0u);
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

// Only what overflows the queue of 32 behind the four running is skipped, and
// counted in one message.
TEST_F(AlertFixture, QueueOverflowCounted) {
    install("while [ ! -e " + d.workPath("gate") + " ]; do sleep 0.05; done");
    start(std::string(kIni) + notify(), spares(40));
    ASSERT_TRUE(d.waitForLog("<6201:Warning> Alert program not run for 4 messages: 4 runs in "
                             "progress and 32 waiting.",
                             15000));
    ASSERT_TRUE(kt::Daemon::writeAbs(d.workPath("gate"), ""));
    ASSERT_TRUE(d.waitWhileRunning([&] { return runs().size() >= 36; }, 15000));
    std::set<int> drives;
    for (auto &r : runs())
        drives.insert(std::stoi(r.env["KESTRUN_DEVICE_ID"]));
    EXPECT_EQ(drives.size(), 36u);
    EXPECT_EQ(*drives.rbegin(), 35);
    kt::completeCycles(d, 2);
    EXPECT_EQ(logged("<6201:"), 1u);
}

// A program that passes the start check but cannot be executed is reported at
// its first failed run, once per error code; the failed run is not held by the
// hourly repeat filter, so the next occurrence pages once the program is fixed.
TEST_F(AlertFixture, UnexecutableProgramReportedAtFirstFailedRun) {
    install();
    const struct {
        const char *name, *content;
        bool deleteAfterStart;
        int code;
    } cases[] = {
        {"no #! line", "exit 0\n", false, 8},
        {"CR after the #! line", "#!/bin/sh\r\nexit 0\n", false, 2},
        {"missing interpreter", "#!/nonexistent/sh\nexit 0\n", false, 2},
        {"deleted after start", "#!/bin/sh\nexit 0\n", true, 2},
    };
    const std::string program = d.workPath("program");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        d.clearCaptures();
        ::unlink(d.modulePath(kt::kLogName).c_str());
        ASSERT_TRUE(kt::Daemon::writeAbs(program, c.content, 0755));
        start(std::string(kIni) + "[AERROR]\nAERROR_MODE=ON\n" + notify(program), "");
        ASSERT_TRUE(d.waitForSleeps(1));
        if (c.deleteAfterStart) {
            ASSERT_EQ(::unlink(program.c_str()), 0);
        }
        ASSERT_TRUE(d.addScenario("fault cmd=evtseqinfo status=5\n"));
        const std::string report = "<6200:Error> Alert program cannot be run. (" + program +
                                   ") Error Code (" + std::to_string(c.code) + ")";
        ASSERT_TRUE(d.waitForLog(report, 10000));
        EXPECT_NE(kt::findSyslog(d.syslog(), report), nullptr);
        ASSERT_TRUE(kt::Daemon::copyFile(d.workPath("alert.sh"), program + ".new", 0755));
        ASSERT_EQ(::rename((program + ".new").c_str(), program.c_str()), 0);
        EXPECT_TRUE(d.waitWhileRunning([&] { return !runsOf("5004").empty(); }, 10000));
        kt::completeCycles(d, kt::pollCycles(d) + 1);
        EXPECT_EQ(logged("<6200:"), 1u) << ::testing::PrintToString(kt::texts(d.logLines()));
        clearRuns();
    }
}

// --test-alert runs the program once as the daemon would, with its own
// message, waits for it and says how it ended; it takes no lock and writes no
// log line or syslog record.
TEST_F(AlertFixture, TestAlertOptionRunsProgramOnce) {
    const std::string plain = d.workPath("plain");
    const struct {
        const char *name, *tail; // the recording program's last line
        const char *content;     // a program of its own instead ("": the recording one)
        unsigned mode;
        bool configured;
        const char *limitMs;
        int status;
        std::string out, err; // text stdout / stderr holds
    } cases[] = {
        {"exits 0", "", "", 0, true, "", 0, "exited with status 0.\n", ""},
        {"exits 3", "exit 3", "", 0, true, "", 1, "exited with status 3.\n", ""},
        {"killed at the limit", "exec sleep 100", "", 0, true, "300", 1,
         "killed after running 30 seconds.\n", ""},
        {"no #! line", "", "exit 0\n", 0755, true, "", 1,
         "could not be executed: Exec format error. Error Code (8)\n", ""},
        {"not executable", "", "#!/bin/sh\n", 0644, true, "", 6, "", "cannot be run"},
        {"none configured", "", "", 0, false, "", 6, "", "no alert program configured"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        d.clearCaptures();
        clearRuns();
        install(c.tail);
        if (c.content[0] != '\0') {
            ASSERT_TRUE(kt::Daemon::writeAbs(plain, c.content, c.mode));
        }
        ASSERT_TRUE(d.writeIni(std::string(kIni) +
                               (c.configured ? notify(c.content[0] ? plain : "") : "")));
        kt::StartOptions opts = fromModuleDir();
        opts.args = {"--test-alert"};
        if (c.limitMs[0] != '\0')
            opts.env = {{"KESTRUN_TEST_ALERT_LIMIT_MS", c.limitMs}};
        ASSERT_TRUE(d.start(opts));
        auto r = d.waitExit(10000);
        EXPECT_TRUE(r.exitedWith(c.status)) << r << d.stderrText();
        EXPECT_THAT(d.stdoutText(), HasSubstr(c.out));
        EXPECT_THAT(d.stderrText(), HasSubstr(c.err));
        EXPECT_TRUE(d.syslog().empty());
        EXPECT_FALSE(d.moduleHas(kt::kLogName));
        EXPECT_TRUE(d.calls().empty());
        auto got = runs();
        ASSERT_EQ(got.size(), c.content[0] == '\0' && c.configured ? 1u : 0u);
        if (got.empty())
            continue;
        EXPECT_EQ(got[0].args,
                  (std::vector<std::string>{"6203", "<6203:Warning> Test alert from Kestrun "
                                                    "--test-alert: no drive is affected."}));
        EXPECT_EQ(got[0].env["KESTRUN_SEVERITY"], "Warning");
        EXPECT_EQ(got[0].env["KESTRUN_MODULE_DIR"], absoluteModuleDir());
        EXPECT_EQ(got[0].env.count("KESTRUN_DEVICE_ID"), 0u);
    }
}

} // namespace
