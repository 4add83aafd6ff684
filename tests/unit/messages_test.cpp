// The message catalogue: exact texts, where each message goes (syslog and
// its priority, the log file), the two switches, and the log line format.
#include "config/settings.h"
#include "process/process.h"
#include "log/messages.h"
#include "shim.h"
#include "capture.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

// 2024-03-05 07:08:09 UTC
constexpr const char *kFixedTime = "1709622489";
constexpr const char *kFixedStampUtc = "2024/03/05 07:08:09";

enum Route { NEVER, ALWAYS, APPLOG };

struct Row {
    int id;
    std::function<void()> raise;
    std::string text;
    Route route;
    int priority; // when it goes to syslog
};

std::vector<Row> catalogue() {
    // Distinct argument values, so that swapped or dropped arguments show.
    return {
        {1000, [] { vLogID1000_Output("(Ver 5.0.0.4)."); },
         "<1000:Information> Predictive Failure has started successfully (Ver 5.0.0.4).", ALWAYS,
         LOG_INFO},
        {1001, [] { vLogID1001_Output(" SMART Mode : ON, AERROR Mode : ON, MEDIUM Mode : ON"); },
         "<1001:Information> Current Mode.  SMART Mode : ON, AERROR Mode : ON, MEDIUM Mode : ON",
         ALWAYS, LOG_INFO},
        {1010, [] { vLogID1010_Output(); },
         "<1010:Information> Check the Predictive Failure Event.", ALWAYS, LOG_INFO},
        {2000, [] { vLogID2000_Output(); }, "<2000:Error> Kestrun.ini file is not found.", ALWAYS,
         LOG_ERR},
        {4000, [] { vLogID4000_Output("HotSpare (PD:3)"); },
         "<4000:Error> Predictive Failure event received from HotSpare (PD:3).", APPLOG, LOG_ERR},
        {4001, [] { vLogID4001_Output(11); }, "<4001:Error> Failed remove HotSpare. (PD:11)",
         APPLOG, LOG_ERR},
        {4101, [] { vLogID4101_Output(12); },
         "<4101:Error> Failed set Unconfigured & Bad State. (PD:12)", APPLOG, LOG_ERR},
        {4500, [] { vLogID4500_Output(13); },
         "<4500:Error> Command Timeout or Check Condition event receive. PD removed. (PD:13)",
         APPLOG, LOG_ERR},
        {4501, [] { vLogID4501_Output(14); }, "<4501:Error> Failed remove PD. (PD:14)", APPLOG,
         LOG_ERR},
        {4502, [] { vLogID4502_Output(15); },
         "<4502:Error> Predictive Failure event received. PD removed. (PD:15)", APPLOG, LOG_ERR},
        {4600, [] { vLogID4600_Output(16); },
         "<4600:Error> PD was set to offline status again. (PD:16)", APPLOG, LOG_ERR},
        {4601, [] { vLogID4601_Output(17); }, "<4601:Error> Failed remove PD (re-set). (PD:17)",
         APPLOG, LOG_ERR},
        {4700, [] { vLogID4700_Output("Dedicated HotSpare (PD:4)"); },
         "<4700:Error> Command Timeout or Check Condition event received from Dedicated HotSpare "
         "(PD:4).",
         APPLOG, LOG_ERR},
        {4800, [] { vLogID4800_Output(18); },
         "<4800:Error> Media error count has exceeded the threshold. PD removed. (PD:18)", APPLOG,
         LOG_ERR},
        {4801, [] { vLogID4801_Output(19); },
         "<4801:Error> Failed remove PD (Media error count has exceeded the threshold). (PD:19)",
         APPLOG, LOG_ERR},
        {5002, [] { vLogID5002_Output("vMainProc", 12); },
         "<5002:Error> Memory allocation failed.(vMainProc) Error Code (12)", NEVER, 0},
        {5003, [] { vLogID5003_Output("iGetEventSquenceInfo", -3); },
         "<5003:Error> Unable to read event log. (iGetEventSquenceInfo) Error Code(-3)", NEVER, 0},
        {5004, [] { vLogID5004_Output("iGetEventSquenceInfo", 4); },
         "<5004:Error> Event log open failed. (iGetEventSquenceInfo) Error Code(4)", NEVER, 0},
        {5006, [] { vLogID5006_Output("iLib_Link", 256); },
         "<5006:Error> Unable to load storelib.dll. (iLib_Link) Error Code(256)", ALWAYS, LOG_ERR},
        {5007, [] { vLogID5007_Output("iDelHdd", 7); },
         "<5007:Error> Unable to get physical drive information.(iDelHdd) Error Code (7)", NEVER,
         0},
        {5008, [] { vLogID5008_Output("", 8); },
         "<5008:Error> Unable to free storelib.dll. () Error Code (8)", NEVER, 0},
        {5009, [] { vLogID5009_Output("PdState_Flag.dat", "iHSPFileMake", 2); },
         "<5009:Error> PdState_Flag.dat File open failed.(iHSPFileMake) Error Code (2)", NEVER, 0},
        {5010, [] { vLogID5010_Output("iControllerSearch", 10); },
         "<5010:Error> Failed to find the controller. (iControllerSearch) Error Code (10)", ALWAYS,
         LOG_ERR},
        {5011, [] { vLogID5011_Output("SIGTERM"); },
         "<5011:Error> Signal handler (SIGTERM) set failed. Predictive Failure monitor has "
         "shutdown.",
         ALWAYS, LOG_ERR},
        {5012, [] { vLogID5012_Output(3, "iControllerChk", -7); },
         "<5012:Error> Failed to get controller name. (No.3)(iControllerChk) Error Code (-7)",
         ALWAYS, LOG_ERR},
        {6011, [] { vLogID6011_Output("/opt/k", 37); },
         "<6011:Warning> The module directory (/opt/k) cannot be locked. Error Code (37). A second "
         "instance would not be refused.",
         ALWAYS, LOG_WARNING},
    };
}

class MessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kestrun_shim_reset();
        env.set("KESTRUN_TEST_SYSLOG", dir.file("syslog.txt"));
        env.set("KESTRUN_TEST_TIME", kFixedTime);
        env.set("TZ", "UTC");
        tzset();
        std::snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
        vSettingsDefault();
    }
    void TearDown() override {
        kestrun_shim_reset();
        tzset();
    }

    std::vector<kt::SyslogRecord> syslogRecords() const {
        return kt::readSyslogRecords(dir.file("syslog.txt"));
    }
    std::vector<kt::LogLine> logLines() const {
        return kt::readLogLines(dir.file("PredictiveFailure.log"));
    }
    void clear() const {
        std::remove(dir.file("syslog.txt").c_str());
        std::remove(dir.file("PredictiveFailure.log").c_str());
    }

    kt::TempDir dir; // the module directory
    kt::ScopedEnv env;
};

// Where one raised message ended up.
void expectRouted(const Row &row, const std::vector<kt::SyslogRecord> &recs,
                  const std::vector<kt::LogLine> &lines, bool toSyslog, bool toFile) {
    if (toSyslog) {
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].text, row.text);
        EXPECT_EQ(recs[0].priority, row.priority);
        EXPECT_EQ(recs[0].ident, "Kestrun");
        EXPECT_EQ(recs[0].option, LOG_PID | LOG_CONS);
        EXPECT_EQ(recs[0].facility, LOG_USER);
        EXPECT_TRUE(recs[0].open) << "syslog called without its own openlog";
    } else {
        EXPECT_TRUE(recs.empty()) << "unexpected syslog: " << recs[0].text;
    }
    if (toFile) {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].raw, std::string(kFixedStampUtc) + " " + row.text);
    } else {
        EXPECT_TRUE(lines.empty()) << "unexpected log line: " << lines[0].raw;
    }
}

TEST_F(MessagesTest, EveryMessageHasItsTextAndRoute) {
    for (const auto &row : catalogue()) {
        SCOPED_TRACE(row.id);
        clear();
        row.raise();
        // The connection is closed again after every message.
        syslog(LOG_DEBUG, "probe");
        auto recs = syslogRecords();
        ASSERT_FALSE(recs.empty());
        EXPECT_FALSE(recs.back().open) << "closelog missing";
        recs.pop_back();
        expectRouted(row, recs, logLines(), row.route != NEVER, true);
    }
}

TEST_F(MessagesTest, AppLogSwitchOnlyGatesTheDriveRemovalMessages) {
    for (int appLog : {0, 2}) {
        g_iAppLogSwitch = appLog;
        for (const auto &row : catalogue()) {
            SCOPED_TRACE(std::to_string(row.id) + " APPLOG " + std::to_string(appLog));
            clear();
            row.raise();
            expectRouted(row, syslogRecords(), logLines(), row.route == ALWAYS, true);
        }
    }
}

TEST_F(MessagesTest, LogFileSwitchOffTouchesNoFile) {
    for (int fileLog : {0, 2}) {
        g_iPreServLogSwitch = fileLog;
        for (const auto &row : catalogue()) {
            SCOPED_TRACE(std::to_string(row.id) + " PFSERVLOG " + std::to_string(fileLog));
            clear();
            row.raise();
            expectRouted(row, syslogRecords(), logLines(), row.route != NEVER, false);
            EXPECT_FALSE(std::filesystem::exists(dir.file("PredictiveFailure.log")));
        }
    }
    EXPECT_EQ(iPredictiveLogOut("x"), 1);

    // Both off: a drive-removal message leaves no trace, start-up messages still reach syslog.
    g_iAppLogSwitch = 0;
    clear();
    vLogID4800_Output(1);
    vLogID1000_Output("(Ver 5.0.0.4).");
    auto recs = syslogRecords();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].text.substr(0, 6), "<1000:");
}

// Looks at the log file at the moment syslog is called.
std::string g_logPathForHook;
std::vector<std::string> g_logAtSyslog;
void captureLogAtSyslog(int, const char *) {
    g_logAtSyslog.push_back(kt::readText(g_logPathForHook));
}

TEST_F(MessagesTest, SyslogComesBeforeTheLogFile) {
    g_logPathForHook = dir.file("PredictiveFailure.log");
    g_logAtSyslog.clear();
    kestrun_shim_syslog_hook = &captureLogAtSyslog;
    vLogID1000_Output("(Ver 5.0.0.4).");
    vLogID4500_Output(5);
    kestrun_shim_syslog_hook = nullptr;
    ASSERT_EQ(g_logAtSyslog.size(), 2u);
    EXPECT_EQ(g_logAtSyslog[0], "");
    EXPECT_EQ(g_logAtSyslog[1].find("<4500:"), std::string::npos);
    EXPECT_EQ(logLines().size(), 2u);
}

TEST_F(MessagesTest, UnwritableLogFileLosesOnlyTheLine) {
    std::snprintf(gcModulePath, sizeof gcModulePath, "%s/missing", dir.path().c_str());
    EXPECT_EQ(iPredictiveLogOut("<1000:Information> x"), 0);
    vLogID2000_Output();
    auto recs = syslogRecords();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].text, "<2000:Error> Kestrun.ini file is not found.");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/missing"));
}

TEST_F(MessagesTest, DriveNumbersPrintAsUnsigned16Bit) {
    struct Case {
        int id;
        const char *shown;
    } cases[] = {{0, "0"},      {255, "255"},     {-25536, "40000"},
                 {-1, "65535"}, {65536 + 5, "5"}, {0x12345, "9029"}};
    std::vector<std::pair<std::function<void(int)>, std::string>> fns = {
        {vLogID4001_Output, "<4001:"}, {vLogID4101_Output, "<4101:"},
        {vLogID4500_Output, "<4500:"}, {vLogID4501_Output, "<4501:"},
        {vLogID4502_Output, "<4502:"}, {vLogID4600_Output, "<4600:"},
        {vLogID4601_Output, "<4601:"}, {vLogID4800_Output, "<4800:"},
        {vLogID4801_Output, "<4801:"}};
    for (const auto &[fn, prefix] : fns) {
        for (const auto &c : cases) {
            SCOPED_TRACE(prefix + std::to_string(c.id));
            clear();
            fn(c.id);
            auto lines = logLines();
            ASSERT_EQ(lines.size(), 1u);
            const std::string &t = lines[0].text;
            EXPECT_EQ(t.substr(0, 6), prefix);
            std::string tail = std::string("(PD:") + c.shown + ")";
            EXPECT_EQ(t.substr(t.size() - std::min(t.size(), tail.size())), tail) << t;
            auto recs = syslogRecords();
            ASSERT_EQ(recs.size(), 1u);
            EXPECT_EQ(recs[0].text, t);
        }
    }
}

TEST_F(MessagesTest, TextsAreNeverTakenAsFormats) {
    vOutputSyslog(LOG_ERR, "100% %s %n %d");
    vLogID4000_Output("%s%n%x");
    vLogID5009_Output("a%sb", "%n", 1);
    auto recs = syslogRecords();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].text, "100% %s %n %d");
    EXPECT_EQ(recs[0].priority, LOG_ERR);
    EXPECT_EQ(recs[1].text, "<4000:Error> Predictive Failure event received from %s%n%x.");
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "<5009:Error> a%sb File open failed.(%n) Error Code (1)");
}

TEST_F(MessagesTest, OverlongArgumentsAreCutTo639Characters) {
    const std::string name(2000, 'n');
    vLogID5009_Output(name.c_str(), name.c_str(), 1);
    vLogID4700_Output(name.c_str());
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto &l : lines) {
        EXPECT_EQ(l.text.size(), 639u);
        EXPECT_TRUE(l.stampOk);
    }
    EXPECT_EQ(lines[0].text.substr(0, 13), "<5009:Error> ");
    auto recs = syslogRecords();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].text, lines[1].text);
    // A text longer than a log line is cut to one whole line.
    EXPECT_EQ(iPredictiveLogOut(("<1010:Information> " + name).c_str()), 1);
    lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].text, "<1010:Information> " + name.substr(0, 650 - 19));
}

TEST_F(MessagesTest, LogLinesAppendWithLocalTimeStamps) {
    ASSERT_TRUE(dir.write("PredictiveFailure.log", "earlier line\n"));
    EXPECT_EQ(iPredictiveLogOut("<1010:Information> first"), 1);
    env.set("KESTRUN_TEST_TIME", "1704067199"); // 2023-12-31 23:59:59 UTC
    EXPECT_EQ(iPredictiveLogOut("second"), 1);
    env.set("TZ", "JST-9");
    tzset();
    EXPECT_EQ(iPredictiveLogOut("third"), 1);
    env.set("KESTRUN_TEST_TIME", "0");
    env.set("TZ", "EST5");
    tzset();
    EXPECT_EQ(iPredictiveLogOut("fourth"), 1);

    EXPECT_EQ(kt::readText(dir.file("PredictiveFailure.log")),
              "earlier line\n"
              "2024/03/05 07:08:09 <1010:Information> first\n"
              "2023/12/31 23:59:59 second\n"
              "2024/01/01 08:59:59 third\n"
              "1969/12/31 19:00:00 fourth\n");
}

} // namespace
