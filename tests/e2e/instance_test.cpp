// One monitor per module directory, and the only arguments the program takes:
// a second start, --help, --version, a typo, --register and --retire, each
// while a monitor runs.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char *kUsage =
    "Usage: Kestrun [--help | --version | --check [FILE] | --test-alert | "
    "--register | --retire CONTROLLER,DEVICE]\n";

void prepare(kt::Daemon &d) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario("controller 0\ndrive c=0 id=1 state=online\n"));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
}

TEST(Instance, OnlyOneMonitorRunsOnAModuleDirectoryAndArgumentsNeverStartOne) {
    kt::Daemon d;
    prepare(d);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForSleeps(1)) << d.stderrText();
    const auto listing = d.listModuleDir();
    const auto log = kt::texts(d.logLines());

    const std::string refused = "<6010:Error> Another Kestrun instance is already running on the "
                                "module directory (" +
                                d.moduleDir() + "). This start has been refused.";
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int status;
        std::string out, err; // expected stdout; text stderr holds (empty: nothing)
        bool syslog;          // the refusal reaches syslog
    } cases[] = {
        {"second start", {}, 3, "", "Kestrun: " + refused + "\n", true},
        {"--version", {"--version"}, 0, "Kestrun (Ver 5.0.0.4).\n", "", false},
        {"--help", {"--help"}, 0, kUsage, "", false},
        {"--test-alert", {"--test-alert"}, 6, "", "Kestrun: no alert program configured", false},
        {"typo",
         {"--hlep"},
         2,
         "",
         std::string("Kestrun: unknown argument \"--hlep\"\n") + kUsage,
         false},
        {"extra word",
         {"--help", "now"},
         2,
         "",
         std::string("Kestrun: unknown argument \"now\"\n") + kUsage,
         false},
        {"--register beside the monitor",
         {"--register"},
         0,
         "No register: " + d.modulePath(kt::kRegisterName) + "\n",
         "",
         false},
        {"--retire refused", {"--retire", "0,1"}, 3, "", "a monitor is running on", false},
        {"--retire malformed", {"--retire", "0;1"}, 2, "", "needs CONTROLLER,DEVICE", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Another harness instance runs the same binary on the same directory,
        // with captures of its own.
        kt::Daemon other;
        kt::StartOptions o;
        o.argv0 = d.daemonPath();
        o.args = c.args;
        ASSERT_TRUE(other.start(o));
        auto r = other.waitExit();
        EXPECT_TRUE(r.exitedWith(c.status)) << r;
        if (c.name == std::string("--help"))
            EXPECT_THAT(other.stdoutText(), ::testing::StartsWith(kUsage));
        else
            EXPECT_EQ(other.stdoutText(), c.out);
        if (c.err.empty())
            EXPECT_THAT(other.stderrText(), IsEmpty());
        else
            EXPECT_THAT(other.stderrText(), HasSubstr(c.err));
        auto recs = other.syslog();
        if (c.syslog) {
            ASSERT_EQ(recs.size(), 1u) << ::testing::PrintToString(kt::texts(recs));
            EXPECT_EQ(recs[0].text, refused);
            EXPECT_EQ(recs[0].priority, 3);
            EXPECT_EQ(recs[0].ident, "Kestrun");
        } else {
            EXPECT_THAT(kt::texts(recs), IsEmpty());
        }
        // Nothing set up, nothing loaded, nothing written.
        EXPECT_THAT(other.daemonSigactions(), IsEmpty());
        EXPECT_THAT(other.calls(), IsEmpty());
        EXPECT_EQ(d.listModuleDir(), listing);
        EXPECT_EQ(kt::texts(d.logLines()), log);
    }

    ASSERT_TRUE(d.running()) << "the first monitor must be left running";
    ASSERT_TRUE(d.stop(SIGTERM).exitedWith(0));
    // The lock ends with the process: the next start monitors again.
    const size_t sleeps = d.sleepLog().size();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForSleeps(sleeps + 1)) << d.stderrText();
    EXPECT_TRUE(d.stop(SIGTERM).exitedWith(0));
}

// A file system without locks (here: flock fails with ENOLCK) must not keep
// the monitor from running; the warning says what is lost.
TEST(Instance, DirectoryThatCannotBeLockedIsReportedAndMonitoredAllTheSame) {
    kt::Daemon d;
    prepare(d);
    kt::StartOptions o;
    o.env = {{"KESTRUN_TEST_FAIL_FLOCK", "37"}};
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.waitForSleeps(1)) << d.stderrText();
    EXPECT_TRUE(d.stop(SIGTERM).exitedWith(0));
    const std::string text = "<6011:Warning> The module directory (" + d.moduleDir() +
                             ") cannot be locked. Error Code (37). A second instance would not be "
                             "refused.";
    auto recs = d.syslog();
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs[0].text, text);
    EXPECT_EQ(recs[0].priority, 4);
    EXPECT_THAT(recs[1].text, HasSubstr("<1000:"));
    ASSERT_FALSE(d.logLines().empty());
    EXPECT_EQ(d.logLines()[0].text, text);
}

} // namespace
