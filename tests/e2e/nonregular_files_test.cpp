// Something other than a regular file under the name of one of the daemon's
// files: a FIFO must never hold it in open (where SIGTERM cannot reach it), a
// directory must not read as an empty file, and a hard link planted at a name
// the daemon recreates must never get its target written.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Kind { FIFO, DIRECTORY, HARD_LINK };

struct Row {
    const char *name;
    const char *file; // in the module directory; "work:" names one in the work directory
    Kind kind;
    int exitStatus;   // -1: the daemon runs and is stopped
    const char *text; // in the log or syslog
};

constexpr const char *kHistory = "AERROR_Cnt0_Id3_20231114_221320.dat"; // the fixed clock's run

TEST(SpecialFiles, AreNeverOpenedBlockingNorUsedUnlessRegular) {
    const Row rows[] = {
        {"SettingsFifo", kt::kIniName, FIFO, 6, "<6021:Error> Kestrun.ini is not a regular file."},
        {"SettingsDirectory", kt::kIniName, DIRECTORY, 6, "<6021:Error>"},
        {"LibraryFifo", kt::kLibName, FIFO, 6,
         "<5006:Error> Unable to load storelib.dll. (iLib_Link) Error Code(22)"},
        {"LogFifo", kt::kLogName, FIFO, -1, "<1001:"},
        {"HistoryFifo", kHistory, FIFO, -1,
         "<5009:Error> AERROR_Cnt0_Id3_20231114_221320.dat File open failed.(iLogOut) Error "
         "Code (22)"},
        {"WorkFifo", kt::kWorkTxtName, FIFO, -1, "<1001:"},
        {"WorkHardLink", kt::kWorkTxtName, HARD_LINK, -1, "<1001:"},
        {"MetricsTemporaryFifo", "work:.k.prom.tmp", FIFO, -1, "<1001:"},
        {"MetricsTemporaryHardLink", "work:.k.prom.tmp", HARD_LINK, -1, "<1001:"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        if (std::string(row.file) != kt::kLibName)
            ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeScenario("controller 0\ndrive c=0 id=3 state=online\n"
                                    "event c=0 seq=700 time=800000000 code=267 dev=3\n"));
        const std::string metrics = d.workPath("k.prom");
        if (std::string(row.file) != kt::kIniName)
            ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[METRICS]\nMETRICS_FILE=" + metrics +
                                   "\n"));
        const std::string file = row.file;
        const std::string path =
            file.rfind("work:", 0) == 0 ? d.workPath(file.substr(5)) : d.modulePath(file);
        const std::string victim = d.workPath("victim.txt");
        ASSERT_TRUE(kt::Daemon::writeAbs(victim, "precious\n"));
        ASSERT_EQ(row.kind == FIFO        ? ::mkfifo(path.c_str(), 0644)
                  : row.kind == DIRECTORY ? ::mkdir(path.c_str(), 0755)
                                          : ::link(victim.c_str(), path.c_str()),
                  0);

        kt::StartOptions o;
        o.tz = "UTC";
        o.fixedTime = 1700000000;
        ASSERT_TRUE(d.start(o));
        if (row.exitStatus >= 0) {
            auto r = d.waitExit();
            EXPECT_TRUE(r.exitedWith(row.exitStatus)) << r;
            EXPECT_NE(kt::findSyslog(d.syslog(), row.text), nullptr)
                << ::testing::PrintToString(kt::texts(d.syslog()));
            continue;
        }
        ASSERT_TRUE(d.waitForSleeps(2)) << d.stderrText();
        auto r = d.stop(SIGTERM);
        EXPECT_TRUE(r.exitedWith(0)) << r;
        // The test must not open the FIFO either.
        const auto log = std::string(row.file) == kt::kLogName ? std::vector<kt::LogLine>{}
                                                              : d.logLines();
        const auto sys = d.syslog();
        EXPECT_TRUE(kt::findLog(log, row.text) != nullptr || kt::findSyslog(sys, row.text))
            << ::testing::PrintToString(kt::texts(sys));
        EXPECT_EQ(kt::readText(victim), "precious\n");
        EXPECT_FALSE(kt::readText(metrics).empty()) << "the metrics file is written all the same";
    }
}

} // namespace
