// Settings the daemon does not take as written: Kestrun --check names each
// fault and what the settings lead to without touching anything, and the
// daemon itself starts fail-safe with a word for each.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

constexpr const char *kScenario = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
                                  "drive c=0 id=5 state=online pfail=1\n"
                                  "drive c=0 id=6 state=online\n"
                                  "ld c=0 n=0 raid=1 state=optimal members=5,6\n";
constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[AERROR]\n"
                             "AERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n";

void prepare(kt::Daemon &d) {
    ASSERT_TRUE(d.setUp(kScenario, kIni));
}

// Run while a monitor holds the module directory: --check takes no lock and
// leaves the directory, the log and syslog as they were.
TEST(SettingsCheck, ReportsEveryFaultAndTouchesNothing) {
    kt::Daemon d;
    prepare(d);
    // A quiet monitor: its log stands still after the start.
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[SMART]\nSMART_MODE=OFF\n[AERROR]\n"
                           "AERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForSleeps(1)) << d.stderrText();
    ASSERT_TRUE(kt::Daemon::copyFile(KESTRUN_SHIM_LIB, d.modulePath("noentry.so"), 0755));
    const auto listing = d.listModuleDir();
    const auto log = kt::texts(d.logLines());
    const std::string work = d.workDir();
    ASSERT_TRUE(kt::Daemon::writeAbs(work + "/ok.sh", "#!/bin/sh\nexit 0\n", 0755));
    ASSERT_TRUE(kt::Daemon::writeAbs(work + "/crlf.sh", "#!/bin/sh\r\nexit 0\r\n", 0755));
    ASSERT_TRUE(kt::Daemon::writeAbs(work + "/bare.sh", "exit 0\n", 0755));
    ASSERT_TRUE(kt::Daemon::writeAbs(work + "/nointerp.sh", "#!/nonexistent/sh\n", 0755));
    ASSERT_TRUE(kt::Daemon::writeAbs(work + "/empty.sh", "#! \n", 0755));

    const struct {
        const char *name;
        std::string ini; // empty: the module directory's own file
        int status;
        std::vector<std::string> says;
    } rows[] = {
        // clang-format off
        {"the module's own file", "", 0,
         {"library: every dependency found\n", "library: loaded, ProcessLibCommand found",
          "alert program: off\n", "metrics: off\n", "  [WAIT] LWAIT_TIME=1000 ",
          "result: 0 warnings, 0 errors\n"}},
        {"typos", "[WAIT]\nLWAIT_TIME = 3000\n[SMART]\nSMART_MODE=on\n[MEDIUM]\nMCMR_COUNT=1\n"
                  "MCMR_NAME1=MODEL-4000 \n[ACTION]\nACTION_MODE=observe\n", 1,
         {"t.ini:2: warning: blanks around the key", "t.ini:4: warning: SMART_MODE value \"on\"",
          "t.ini:7: warning: MCMR_NAME1 \"MODEL-4000 \" begins or ends with blanks",
          "t.ini:9: warning: ACTION_MODE value \"observe\"", "  [SMART] SMART_MODE=OFF\n",
          "  [ACTION] ACTION_MODE=OBSERVE\n", "result: 4 warnings, 0 errors\n"}},
        {"alert program runs", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/ok.sh\n", 0,
         {"alert program: " + work + "/ok.sh, a script for /bin/sh\n"}},
        {"an executable", "[NOTIFY]\nNOTIFY_PROGRAM=/bin/true\n", 0,
         {"alert program: /bin/true, an executable\n"}},
        {"CR on the #! line", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/crlf.sh\n", 6,
         {"alert program: error: the #! line of " + work + "/crlf.sh ends in a carriage return"}},
        {"no #! line", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/bare.sh\n", 6,
         {"is neither an executable nor a script starting with #!"}},
        {"#! alone", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/empty.sh\n", 6,
         {"empty.sh names no interpreter"}},
        {"no interpreter", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/nointerp.sh\n", 6,
         {"/nonexistent/sh, is missing or cannot be run"}},
        {"no program", "[NOTIFY]\nNOTIFY_PROGRAM=" + work + "/gone.sh\n", 6,
         {"gone.sh cannot be run: No such file or directory (6200, Error Code 2)"}},
        {"metrics directory writable", "[METRICS]\nMETRICS_FILE=" + work + "/k.prom\n", 0,
         {"metrics: the directory " + work + " is writable\n"}},
        {"metrics directory missing", "[METRICS]\nMETRICS_FILE=" + work + "/no/k.prom\n", 6,
         {"metrics: error: the directory " + work + "/no does not exist\n"}},
        {"metrics path relative", "[METRICS]\nMETRICS_FILE=k.prom\n", 6,
         {"metrics: error: k.prom is not an absolute path (6300, Error Code 22)"}},
        {"metrics path a directory", "[METRICS]\nMETRICS_FILE=" + work + "\n", 6,
         {"metrics: error: " + work + " is a directory"}},
        {"library missing", "[LIB]\nLIBPATH=none.so\n", 6,
         {"library: error: the dependency check (ldd) failed"}},
        {"library without the entry", "[LIB]\nLIBPATH=noentry.so\n", 6,
         {"library: error: loaded, but it has no ProcessLibCommand"}},
        // clang-format on
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        kt::Daemon other;
        kt::StartOptions o;
        o.argv0 = d.daemonPath();
        o.args = {"--check"};
        if (!row.ini.empty()) {
            ASSERT_TRUE(kt::Daemon::writeAbs(other.workPath("t.ini"), row.ini));
            o.args.push_back(other.workPath("t.ini"));
        }
        ASSERT_TRUE(other.start(o));
        auto r = other.waitExit();
        EXPECT_TRUE(r.exitedWith(row.status)) << r << "\n" << other.stdoutText();
        for (const auto &s : row.says)
            EXPECT_THAT(other.stdoutText(), HasSubstr(s));
        EXPECT_THAT(other.stderrText(), IsEmpty());
        EXPECT_THAT(kt::texts(other.syslog()), IsEmpty());
        EXPECT_THAT(other.daemonSigactions(), IsEmpty());
        EXPECT_THAT(other.calls(), IsEmpty());
        EXPECT_EQ(d.listModuleDir(), listing);
        EXPECT_EQ(kt::texts(d.logLines()), log);
    }
    ASSERT_TRUE(d.running());
    EXPECT_TRUE(d.stop(SIGTERM).exitedWith(0));
}

// A path of exactly `length` characters under `dir`, its directories made.
std::string pathOfLength(const std::string &dir, size_t length, const std::string &name) {
    std::string sub = dir + "/" + std::string(length - dir.size() - 2 - name.size(), 'd');
    ::mkdir(sub.c_str(), 0755);
    return sub + "/" + name;
}

// An ACTION_MODE not understood observes instead of removing; a path too long
// for its entry is refused rather than cut, where a cut one would run or
// write whatever lies at its first 255 characters.
TEST(SettingsAtStart, ValuesNotUnderstoodFailSafeWithAWord) {
    kt::Daemon probe;
    if (probe.workDir().size() > 200)
        GTEST_SKIP() << "temporary directory too long for a 255-character path";
    const struct {
        const char *name;
        std::string section; // the [ACTION], [NOTIFY] or [METRICS] part; CUT: the cut path
        const char *cutName; // a file made at the cut path, which must stay untouched
        bool removes;
        std::string says;
        int priority;
    } rows[] = {
        {"typo in ACTION_MODE", "[ACTION]\nACTION_MODE=observe\n", nullptr, false,
         "<6402:Warning> ACTION_MODE value not recognised (observe): observe mode, no drive is "
         "removed.",
         LOG_WARNING},
        {"blank before OBSERVE", "[ACTION]\nACTION_MODE= OBSERVE\n", nullptr, false,
         "<6402:Warning> ACTION_MODE value not recognised ( OBSERVE)", LOG_WARNING},
        {"empty ACTION_MODE", "[ACTION]\nACTION_MODE=\n", nullptr, true, "", 0},
        {"REMOVE", "[ACTION]\nACTION_MODE=REMOVE\n", nullptr, true, "", 0},
        {"alert program too long", "[NOTIFY]\nNOTIFY_PROGRAM=CUT-beyond\n", "alert.sh", true,
         "<6200:Error> Alert program cannot be run. (CUT) Error Code (36)", LOG_ERR},
        {"metrics file too long", "[METRICS]\nMETRICS_FILE=CUTx\n", "k.prom", true,
         "<6300:Warning> Metrics file cannot be written. (CUT) Error Code (36)", LOG_WARNING},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        kt::Daemon d;
        prepare(d);
        std::string section = row.section, says = row.says, cut;
        if (row.cutName != nullptr) {
            cut = pathOfLength(d.workDir(), 255, row.cutName);
            ASSERT_TRUE(kt::Daemon::writeAbs(cut, "#!/bin/sh\necho ran > " + cut + ".ran\n", 0755));
            section.replace(section.find("CUT"), 3, cut);
            says.replace(says.find("CUT"), 3, cut);
        }
        ASSERT_TRUE(d.writeIni(std::string(kIni) + "[SMART]\nSMART_MODE=ON\n" + section));
        ASSERT_TRUE(d.start());
        kt::completeCycles(d, 2);
        EXPECT_EQ(d.calls("setstate").empty(), !row.removes);
        const auto lines = kt::texts(d.logLines());
        if (says.empty()) {
            for (const auto &t : lines)
                EXPECT_EQ(t.rfind("<6402:", 0), std::string::npos) << t;
            continue;
        }
        EXPECT_THAT(lines, ::testing::Contains(HasSubstr(says)));
        const auto records = d.syslog();
        const auto *rec = kt::findSyslog(records, says);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->priority, row.priority);
        if (row.cutName != nullptr) {
            EXPECT_NE(::access((cut + ".ran").c_str(), F_OK), 0);
            EXPECT_EQ(kt::readText(cut), "#!/bin/sh\necho ran > " + cut + ".ran\n");
        }
    }
}

} // namespace
