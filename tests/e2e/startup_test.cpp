// Start-up and shutdown of the real binary: the missing settings file, failing
// signal handlers, the start message, clean stops, and where the module
// directory is found for each way of starting the program.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char *k1000 =
    "<1000:Information> Predictive Failure has started successfully (Ver 5.0.0.4).";
constexpr const char *k2000 = "<2000:Error> Kestrun.ini file is not found.";
constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n";
constexpr const char *kScenario = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n";

// The capture files are all the work directory may hold: a file the daemon
// wrote there came from a wrong module directory.
void expectOnlyCaptures(const kt::Daemon &d) {
    for (const auto &name : kt::Daemon::listDir(d.workDir())) {
        EXPECT_TRUE(name == "syslog.txt" || name == "sleep.txt" || name == "sigaction.txt" ||
                    name == "trace.txt" || name == "stdout.txt" || name == "stderr.txt" ||
                    name.rfind("scenario.txt", 0) == 0)
            << "stray file in the working directory: " << name;
    }
}

// The daemon is set up to run: binary, settings, simulator.
void prepare(kt::Daemon &d, const char *ini = kIni) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario(kScenario));
    ASSERT_TRUE(d.writeIni(ini));
}

// Started, logged 1000, loaded the library and reached its wait; then stopped.
void runUntilPolling(kt::Daemon &d, const kt::StartOptions &opts = {}) {
    ASSERT_TRUE(d.start(opts));
    ASSERT_TRUE(d.waitForSyslog("<1000:"))
        << "syslog: " << ::testing::PrintToString(kt::texts(d.syslog()))
        << "\nstderr: " << d.stderrText() << "\nexit: " << d.waitExit(0);
    ASSERT_TRUE(d.waitForSleeps(1)) << "never reached the polling wait; log: "
                                    << ::testing::PrintToString(kt::texts(d.logLines()));
    auto r = d.stop(SIGTERM);
    ASSERT_TRUE(r.exitedWith(0)) << r;
}

TEST(Startup, MissingSettingsFileIsReportedAsAnInstallationProblem) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.start());
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(6)) << r;

    auto recs = d.syslog();
    ASSERT_EQ(recs.size(), 1u) << ::testing::PrintToString(kt::texts(recs));
    EXPECT_EQ(recs[0].text, k2000);
    EXPECT_EQ(recs[0].priority, 3);
    EXPECT_EQ(recs[0].ident, "Kestrun");
    EXPECT_EQ(recs[0].option, 3);
    EXPECT_EQ(recs[0].facility, 8);
    EXPECT_TRUE(recs[0].open);

    auto lines = d.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, k2000);
    EXPECT_TRUE(lines[0].stampOk) << lines[0].raw;

    EXPECT_FALSE(d.moduleHas(kt::kWorkTxtName)) << "the library step must not be reached";
    EXPECT_THAT(d.listModuleDir(), ElementsAre(kt::kDaemonName, kt::kLogName, kt::kLibName));
    EXPECT_THAT(d.stdoutText(), IsEmpty());
    expectOnlyCaptures(d);
}

TEST(Startup, FailingSignalHandlerEndsWithStatus255BeforeTheSettingsAreRead) {
    struct Case {
        int sig;
        const char *name;
        std::vector<int> attempts; // installations tried, in order
    } cases[] = {{SIGINT, "SIGINT", {SIGINT}}, {SIGTERM, "SIGTERM", {SIGINT, SIGTERM}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        // No settings file: reading it would show as message 2000.
        kt::StartOptions o;
        o.failSigaction = std::to_string(c.sig);
        ASSERT_TRUE(d.start(o));
        auto r = d.waitExit();
        EXPECT_TRUE(r.exitedWith(255)) << r;

        const std::string text = std::string("<5011:Error> Signal handler (") + c.name +
                                 ") set failed. Predictive Failure monitor has shutdown.";
        auto recs = d.syslog();
        ASSERT_EQ(recs.size(), 1u) << ::testing::PrintToString(kt::texts(recs));
        EXPECT_EQ(recs[0].text, text);
        EXPECT_EQ(recs[0].priority, 3);
        EXPECT_EQ(recs[0].ident, "Kestrun");
        auto lines = d.logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, text);

        std::vector<int> attempts;
        for (int s : d.daemonSigactions())
            if (s == SIGINT || s == SIGTERM)
                attempts.push_back(s);
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_FALSE(d.moduleHas(kt::kWorkTxtName));
        EXPECT_THAT(d.stdoutText(), IsEmpty());
    }
}

TEST(Startup, StartMessageThenEveryStopSignalSequenceExitsCleanly) {
    const std::vector<std::vector<int>> sequences = {{SIGTERM},          {SIGINT},
                                                     {SIGINT, SIGTERM},  {SIGTERM, SIGINT},
                                                     {SIGTERM, SIGTERM}, {SIGINT, SIGINT}};
    for (const auto &seq : sequences) {
        std::string name;
        for (int s : seq)
            name += std::string(strsignal(s)) + " ";
        SCOPED_TRACE(name);
        kt::Daemon d;
        prepare(d);
        kt::StartOptions o;
        o.sleepMs = 20; // mostly found waiting, as in real life
        ASSERT_TRUE(d.start(o));
        ASSERT_TRUE(d.waitForSyslog("<1000:")) << d.stderrText();
        ASSERT_TRUE(d.waitForSleeps(2)) << ::testing::PrintToString(kt::texts(d.logLines()));
        for (int s : seq)
            ASSERT_TRUE(d.signal(s));
        size_t sleepsAtStop = d.sleepLog().size();
        auto r = d.waitExit();
        EXPECT_TRUE(r.exitedWith(0)) << r;
        // A sleep that had begun may end; none may start after the stop was seen.
        EXPECT_LE(d.sleepLog().size(), sleepsAtStop + 1);

        auto recs = d.syslog();
        ASSERT_FALSE(recs.empty());
        EXPECT_EQ(recs[0].text, k1000);
        EXPECT_EQ(recs[0].priority, 6);
        EXPECT_EQ(recs[0].ident, "Kestrun");
        EXPECT_EQ(recs[0].option, 3);
        EXPECT_EQ(recs[0].facility, 8);
        EXPECT_EQ(
            std::count_if(recs.begin(), recs.end(), [](const auto &x) { return x.text == k1000; }),
            1);
        auto lines = d.logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].text, k1000);
        EXPECT_TRUE(lines[0].stampOk) << lines[0].raw;
        EXPECT_EQ(kt::findLog(lines, "<5006:"), nullptr) << "library not loaded";
        EXPECT_TRUE(d.moduleHas(kt::kWorkTxtName));
        EXPECT_THAT(d.stdoutText(), IsEmpty());
    }
}

TEST(Startup, StopDuringALongWaitEndsTheWaitAtOnce) {
    kt::Daemon d;
    prepare(d, "[WAIT]\nLWAIT_TIME=600000\n");
    kt::StartOptions o;
    o.sleepMs = 200; // a wait of 600 s would take two minutes here
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.waitForSleeps(1));
    auto r = d.stop(SIGTERM, 1500);
    EXPECT_TRUE(r.exitedWith(0)) << r;
    EXPECT_LE(d.sleepLog().size(), 2u);
}

TEST(Startup, StopArrivingWhileTheLibraryIsCheckedIsNotLost) {
    kt::Daemon d;
    prepare(d);
    // An ldd found first in PATH that holds the daemon in its dependency
    // check until the test has sent its signal.
    const std::string bin = d.workPath("bin");
    ASSERT_TRUE(kt::Daemon::writeAbs(
        bin + "/ldd",
        "#!/bin/sh\n"
        "touch \"$KT_DIR/ldd-started\"\n"
        "i=0\n"
        "while [ ! -e \"$KT_DIR/ldd-go\" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done\n"
        "exec /usr/bin/ldd \"$@\"\n",
        0755));
    kt::StartOptions o;
    o.env = {{"PATH", bin + ":/usr/sbin:/usr/bin:/sbin:/bin"}, {"KT_DIR", bin}};
    ASSERT_TRUE(d.start(o));
    if (!d.waitWhileRunning([&] { return kt::Daemon::listDir(bin).size() > 1; })) {
        kt::Daemon::writeAbs(bin + "/ldd-go", "");
        GTEST_SKIP() << "the daemon does not run ldd through PATH";
    }
    // SIGINT: the one that system() would ignore while its command runs.
    ASSERT_TRUE(d.signal(SIGINT));
    ASSERT_TRUE(kt::Daemon::writeAbs(bin + "/ldd-go", ""));
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(0)) << r;

    // The preparation completes, then the loop is left before any scan or wait.
    auto lines = d.logLines();
    EXPECT_EQ(kt::findLog(lines, "<5006:"), nullptr) << ::testing::PrintToString(kt::texts(lines));
    EXPECT_NE(kt::findLog(lines, "<1001:"), nullptr) << ::testing::PrintToString(kt::texts(lines));
    EXPECT_THAT(d.sleepLog(), IsEmpty());
    EXPECT_THAT(d.calls("pdlist"), IsEmpty());
    EXPECT_THAT(d.calls("evtlist"), IsEmpty());
}

// Where the daemon finds its files, for each way of being started.
struct StartStyle {
    const char *label;
    const char *moduleRel;
    enum { Absolute, DotSlash, PathSearch, LongArgv0 } how;
};

void PrintTo(const StartStyle &s, std::ostream *os) {
    *os << s.label << " (" << s.moduleRel << ")";
}

class ModuleDirectory : public ::testing::TestWithParam<StartStyle> {};

TEST_P(ModuleDirectory, FilesLiveBesideTheExecutable) {
    const StartStyle &s = GetParam();
    kt::Daemon d(s.moduleRel);
    prepare(d);
    kt::StartOptions o;
    switch (s.how) {
    case StartStyle::Absolute:
        break;
    case StartStyle::DotSlash:
        o.argv0 = "./Kestrun";
        o.cwd = d.moduleDir();
        break;
    case StartStyle::PathSearch:
        o.argv0 = "Kestrun";
        o.pathSearch = true; // cwd stays the work directory
        break;
    case StartStyle::LongArgv0: {
        // Over 255 characters, but naming a short directory.
        std::string argv0 = d.moduleDir() + "/";
        while (argv0.size() <= 300)
            argv0 += "./";
        o.argv0 = argv0 + "Kestrun";
        break;
    }
    }
    runUntilPolling(d, o);

    auto lines = d.logLines();
    ASSERT_FALSE(lines.empty()) << "no log file in " << d.moduleDir();
    EXPECT_EQ(lines[0].text, k1000);
    EXPECT_EQ(kt::findLog(lines, "<5006:"), nullptr) << "library not loaded";
    EXPECT_TRUE(d.moduleHas(kt::kWorkTxtName));
    EXPECT_FALSE(d.calls("ctrlsearch").empty())
        << "the simulator beside the executable was not used";
    EXPECT_THAT(d.stdoutText(), IsEmpty());
    expectOnlyCaptures(d);
    // Nothing a shell could have run from a path handed to it unquoted.
    for (const auto &f : kt::Daemon::listTree(d.root()))
        EXPECT_FALSE(f == "INJECTED" ||
                     (f.size() > 9 && f.compare(f.size() - 9, 9, "/INJECTED") == 0))
            << f;
}

INSTANTIATE_TEST_SUITE_P(
    Startup, ModuleDirectory,
    ::testing::Values(StartStyle{"Absolute", "module", StartStyle::Absolute},
                      StartStyle{"DotSlash", "module", StartStyle::DotSlash},
                      StartStyle{"PathSearch", "module", StartStyle::PathSearch},
                      StartStyle{"LongArgv0", "module", StartStyle::LongArgv0},
                      StartStyle{"Blanks", "dir with blanks/and;$(touch INJECTED)`touch INJECTED`",
                                 StartStyle::Absolute},
                      StartStyle{"Quotes", "it's \"quoted\" & *starred* $HOME",
                                 StartStyle::DotSlash},
                      StartStyle{"BlanksViaPath", "a b/c;d", StartStyle::PathSearch}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(Startup, ModuleDirectoryTooLongIsRefusedWithoutWritingAnywhere) {
    // Five 60-character directories: the executable's own directory is over
    // 255 characters, whichever way it is named. Through PATH the working
    // directory (the work directory here, "/" for a service) must not be
    // taken instead.
    std::string rel;
    for (int i = 0; i < 5; ++i)
        rel += (i ? "/" : "") + std::string(59, static_cast<char>('a' + i)) + std::to_string(i);
    for (bool viaPath : {false, true}) {
        SCOPED_TRACE(viaPath ? "through PATH" : "absolute");
        kt::Daemon d(rel);
        ASSERT_GT(d.moduleDir().size(), 255u);
        prepare(d);
        const auto before = kt::Daemon::listTree(d.root() + "/" + rel.substr(0, 60));

        kt::StartOptions o;
        if (viaPath) {
            o.argv0 = "Kestrun";
            o.pathSearch = true;
        }
        ASSERT_TRUE(d.start(o));
        auto r = d.waitExit();
        EXPECT_TRUE(r.exitedWith(255)) << r;

        auto recs = d.syslog();
        ASSERT_EQ(recs.size(), 1u) << ::testing::PrintToString(kt::texts(recs));
        EXPECT_EQ(recs[0].priority, 3);
        EXPECT_EQ(recs[0].ident, "Kestrun");
        EXPECT_THAT(d.stderrText(), ::testing::HasSubstr(recs[0].text));
        // No file anywhere but the captures: not in the directory, not in a
        // cut-off prefix of it, not in the working directory.
        EXPECT_EQ(kt::Daemon::listTree(d.root() + "/" + rel.substr(0, 60)), before);
        EXPECT_THAT(kt::Daemon::listDir(d.root()), ElementsAre(rel.substr(0, 60), "work"));
        expectOnlyCaptures(d);
        EXPECT_THAT(d.stdoutText(), IsEmpty());
        EXPECT_THAT(d.calls(), IsEmpty());
    }
}

TEST(Startup, LogFileSwitchedOffLeavesNoFileButSyslogStillGetsTheStart) {
    kt::Daemon d;
    prepare(d, "[WAIT]\nLWAIT_TIME=1000\n[PFSERVLOG]\nPFSERVLOG_SWITCH=OFF\n");
    runUntilPolling(d);
    auto recs = d.syslog();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].text, k1000);
    EXPECT_EQ(recs[0].priority, 6);
    EXPECT_FALSE(d.moduleHas(kt::kLogName));
    for (const auto &f : kt::Daemon::listTree(d.root()))
        EXPECT_EQ(f.find(kt::kLogName), std::string::npos) << f;
}

TEST(Startup, LogLinesCarryTheLocalTimeOfTheFixedClock) {
    struct Case {
        const char *tz;
        const char *stamp;
    } cases[] = {{"UTC", "2024/03/05 07:08:09"},
                 {"JST-9", "2024/03/05 16:08:09"},
                 {"EST5", "2024/03/05 02:08:09"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tz);
        kt::StartOptions o;
        o.tz = c.tz;
        o.fixedTime = 1709622489; // 2024-03-05 07:08:09 UTC

        kt::Daemon missing; // settings file missing: message 2000
        ASSERT_TRUE(missing.installDaemon());
        ASSERT_TRUE(missing.start(o));
        EXPECT_TRUE(missing.waitExit().exitedWith(6));
        auto lines = missing.logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].raw, std::string(c.stamp) + " " + k2000);

        kt::Daemon d;
        prepare(d);
        runUntilPolling(d, o);
        lines = d.logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].raw, std::string(c.stamp) + " " + k1000);
        for (const auto &l : lines)
            EXPECT_EQ(l.stamp, c.stamp) << l.raw;
    }
}

} // namespace
