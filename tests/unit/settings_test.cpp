// The Kestrun.ini reader: its own line rules (substring search, comment
// markers, one key per line, value after the first run of "=") and the
// bounds applied to values that do not fit.
#include "config/settings.h"
#include "process/process.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A text entry as stored, never read past its array.
template <size_t N> std::string entry(const char (&a)[N]) {
    return std::string(a, strnlen(a, N));
}
template <size_t N> bool terminated(const char (&a)[N]) {
    return strnlen(a, N) < N;
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
        vSettingsDefault();
        // Start values the reader itself must establish, poisoned to see it do so.
        g_iAErrorCnt = 99;
        for (auto &k : g_cAErrSenseKey)
            std::snprintf(k, sizeof k, "junk");
        std::snprintf(g_cLibFileName, sizeof g_cLibFileName, "junk.so");
        // Values that only process start gives.
        std::memset(g_cMBoardName, 0, sizeof g_cMBoardName);
        g_iMcTblDiff = 0;
    }

    int read(const std::string &ini) {
        EXPECT_TRUE(dir.write("Kestrun.ini", ini));
        return iIniFileRead();
    }

    kt::TempDir dir;
};

void expectStartValues() {
    EXPECT_EQ(g_iLWaitTime, 6000);
    EXPECT_EQ(g_iAppLogSwitch, 1);
    EXPECT_EQ(g_iPreServLogSwitch, 1);
    EXPECT_EQ(g_iThresholdMode, 1);
    EXPECT_EQ(g_iThresholdTime, 5);
    EXPECT_EQ(g_iPollEvent, 0);
    EXPECT_EQ(g_iSmartMode, 1);
    EXPECT_EQ(g_iAErrorMode, 1);
    EXPECT_EQ(g_iAErrorCntHDD, 20);
    EXPECT_EQ(g_iAErrorCntSSD, 30);
    EXPECT_EQ(g_iMErrMode, 1);
    EXPECT_EQ(g_iMBoardCnt, 0);
    EXPECT_EQ(g_iHistoryCnt, 7);
    EXPECT_EQ(g_iMcTblDiff, 0);
}

TEST_F(SettingsTest, StartValuesReplaceWhateverWasThere) {
    for (int *p : {&g_iLWaitTime, &g_iAppLogSwitch, &g_iPreServLogSwitch, &g_iThresholdMode,
                   &g_iThresholdTime, &g_iPollEvent, &g_iSmartMode, &g_iAErrorMode,
                   &g_iAErrorCntHDD, &g_iAErrorCntSSD, &g_iMErrMode, &g_iMBoardCnt, &g_iHistoryCnt})
        *p = 12345;
    vSettingsDefault();
    expectStartValues();
}

TEST_F(SettingsTest, MissingFileReturnsZeroAndOnlyResetsTheReadersOwnState) {
    g_iLWaitTime = 4242;
    EXPECT_EQ(iIniFileRead(), 0);
    EXPECT_EQ(g_iLWaitTime, 4242);
    EXPECT_EQ(g_iAErrorCnt, 1);
    for (auto &k : g_cAErrSenseKey)
        EXPECT_EQ(entry(k), "");
}

TEST_F(SettingsTest, EmptyOrCommentOnlyFileKeepsStartValues) {
    for (const char *ini :
         {"", "# comment\n\n/ slash\n \tindented\n\r\n", "[OTHER]\nLWAIT_TIME=1\n"}) {
        SCOPED_TRACE(ini);
        SetUp();
        EXPECT_EQ(read(ini), 1);
        expectStartValues();
        EXPECT_EQ(g_iAErrorCnt, 1);
        for (auto &k : g_cAErrSenseKey)
            EXPECT_EQ(entry(k), "");
        EXPECT_EQ(entry(g_cLibFileName), "libstorelib.so.2.52-0");
    }
}

TEST_F(SettingsTest, CommentMarkersAndKeyFormIgnoreLines) {
    // Each line below would set LWAIT_TIME if it were examined.
    read("LWAIT_TIME=1001\n" // before any header
         "[WAIT]\n"
         " LWAIT_TIME=1002\n"
         "\tLWAIT_TIME=1003\n"
         "#LWAIT_TIME=1004\n"
         "/LWAIT_TIME=1005\n"
         "LWAIT_TIME = 1006\n"
         "lwait_time=1007\n");
    EXPECT_EQ(g_iLWaitTime, 6000);
}

TEST_F(SettingsTest, SemicolonIsNoCommentAndKeysAreFoundAnywhereInTheLine) {
    read("[WAIT]\n;LWAIT_TIME=3000\n[HISTORY]\nxx HISTORY_COUNT=3\n");
    EXPECT_EQ(g_iLWaitTime, 3000);
    EXPECT_EQ(g_iHistoryCnt, 3);
}

TEST_F(SettingsTest, KeysOnlyCountInTheirOwnSection) {
    read("[AERROR]\nSMART_MODE=OFF\n[WAIT]\nHISTORY_COUNT=2\n");
    EXPECT_EQ(g_iSmartMode, 1);
    EXPECT_EQ(g_iHistoryCnt, 7);

    SetUp();
    read("[SMART]\n[OTHER]\nSMART_MODE=OFF\n");
    EXPECT_EQ(g_iSmartMode, 0) << "an unknown bracketed name must not end the section";
}

TEST_F(SettingsTest, HeaderLinesSelectOnlyAndFollowTheSearchOrder) {
    read("[WAIT] LWAIT_TIME=3000\n");
    EXPECT_EQ(g_iLWaitTime, 6000) << "a key on a header line is not taken";

    // [WAIT] comes before [LIB] in the search order, whatever the line says.
    SetUp();
    read("[LIB] [WAIT]\nLIBPATH=x.so\nLWAIT_TIME=2000\n");
    EXPECT_EQ(g_iLWaitTime, 2000);
    EXPECT_EQ(entry(g_cLibFileName), "libstorelib.so.2.52-0");

    // A header anywhere in the line counts.
    SetUp();
    read("junk [HISTORY] junk\nHISTORY_COUNT=4\n");
    EXPECT_EQ(g_iHistoryCnt, 4);
}

TEST_F(SettingsTest, OneKeyPerLineInTableOrderWithTheValueAfterTheFirstEquals) {
    read("[AERROR]\nAERROR_COUNT_HDD=5 AERROR_COUNT_SSD=6\n");
    EXPECT_EQ(g_iAErrorCntHDD, 5);
    EXPECT_EQ(g_iAErrorCntSSD, 30);

    // The HDD key is searched first, but its value is the line's second piece.
    SetUp();
    read("[AERROR]\nAERROR_COUNT_SSD=6 AERROR_COUNT_HDD=5\n");
    EXPECT_EQ(g_iAErrorCntHDD, 6);
    EXPECT_EQ(g_iAErrorCntSSD, 30);

    SetUp();
    read("[MEDIUM]\nMCMR_COUNT=3\nMCMR_NAME1=A=B\nMCMR_NAME2==C\nMCMR_NAME3=D=\n");
    EXPECT_EQ(entry(g_cMBoardName[0]), "A");
    EXPECT_EQ(entry(g_cMBoardName[1]), "C");
    EXPECT_EQ(entry(g_cMBoardName[2]), "D");
}

TEST_F(SettingsTest, NumbersFollowStrtolAndTheZeroSubstitutions) {
    struct Case {
        const char *line;
        int want;
    } cases[] = {
        {"LWAIT_TIME=0", 6000},
        {"LWAIT_TIME=", 6000},
        {"LWAIT_TIME=abc", 6000},
        {"LWAIT_TIME=500", 500},
        {"LWAIT_TIME=-2000", -2000},
        {"LWAIT_TIME= 4000", 4000},
        {"LWAIT_TIME=+7000ms", 7000},
        {"LWAIT_TIME=2147483647", INT_MAX},
        {"LWAIT_TIME=2147483648", INT_MAX},
        {"LWAIT_TIME=99999999999999999999", INT_MAX},
        {"LWAIT_TIME=-2147483648", INT_MIN},
        {"LWAIT_TIME=-2147483649", INT_MIN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        for (const char *end : {"\n", "\r\n", ""}) {
            SetUp();
            read(std::string("[WAIT]\n") + c.line + end);
            EXPECT_EQ(g_iLWaitTime, c.want) << "line end "
                                            << (end[0] == '\r' ? "CRLF"
                                                : end[0]       ? "LF"
                                                               : "none");
        }
    }

    read("[AERROR]\nAERROR_COUNT_HDD=0\nAERROR_COUNT_SSD=-4\n[HISTORY]\nHISTORY_COUNT=0\n[MEDIUM]"
         "\nMCMR_COUNT=0\n");
    EXPECT_EQ(g_iAErrorCntHDD, 20);
    EXPECT_EQ(g_iAErrorCntSSD, -4);
    EXPECT_EQ(g_iHistoryCnt, 7);
    EXPECT_EQ(g_iMBoardCnt, 0);

    SetUp();
    read("[AERROR]\nAERROR_COUNT_SSD=0\nAERROR_SENSE_COUNT=0\n[HISTORY]\nHISTORY_COUNT=-3\n[MEDIUM]"
         "\nMCMR_COUNT=-1\n");
    EXPECT_EQ(g_iAErrorCntSSD, 30);
    EXPECT_EQ(g_iAErrorCnt, 1);
    EXPECT_EQ(g_iHistoryCnt, -3);
    EXPECT_EQ(g_iMBoardCnt, -1);
}

TEST_F(SettingsTest, EmptyNumberValuesLeaveTheSettingAlone) {
    read("[AERROR]\nAERROR_COUNT_HDD=9\nAERROR_COUNT_HDD=\nAERROR_COUNT_SSD=\r\n"
         "[HISTORY]\nHISTORY_COUNT=\n[THRESHOLD]\nTHRESHOLD_TIME=\n[MEDIUM]\nMCMR_COUNT=2\nMCMR_"
         "COUNT=");
    EXPECT_EQ(g_iAErrorCntHDD, 9);
    EXPECT_EQ(g_iAErrorCntSSD, 30);
    EXPECT_EQ(g_iHistoryCnt, 7);
    EXPECT_EQ(g_iThresholdTime, 5);
    EXPECT_EQ(g_iMBoardCnt, 2);
}

TEST_F(SettingsTest, ThresholdTimeIsMinutesTimesSixtySaturating) {
    struct Case {
        const char *value;
        int want;
    } cases[] = {{"10", 600},
                 {"0", 300},
                 {"x", 300},
                 {"-2", -120},
                 {"35791394", 2147483640},
                 {"35791395", INT_MAX},
                 {"-35791395", INT_MIN},
                 {"99999999999", INT_MAX},
                 {"-99999999999", INT_MIN}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        SetUp();
        read(std::string("[THRESHOLD]\nTHRESHOLD_TIME=") + c.value + "\n");
        EXPECT_EQ(g_iThresholdTime, c.want);
    }
    SetUp();
    read("[THRESHOLD]\nTHRESHOLD_MODE=COUNT\n");
    EXPECT_EQ(g_iThresholdTime, 5)
        << "without a THRESHOLD_TIME line the start value (5 seconds) stays";
}

TEST_F(SettingsTest, SwitchesTakeOnlyALeadingUpperCaseON) {
    struct Key {
        const char *section, *key;
        int *var;
    } keys[] = {{"[APPLOG]", "APPLOG_SWITCH", &g_iAppLogSwitch},
                {"[PFSERVLOG]", "PFSERVLOG_SWITCH", &g_iPreServLogSwitch},
                {"[POLL]", "POLL_EVENT", &g_iPollEvent},
                {"[SMART]", "SMART_MODE", &g_iSmartMode},
                {"[AERROR]", "AERROR_MODE", &g_iAErrorMode},
                {"[MEDIUM]", "MC_MODE", &g_iMErrMode}};
    struct Value {
        const char *text;
        int want; // -1: unchanged
    } values[] = {{"ON\n", 1},  {"ON\r\n", 1}, {"ON", 1},  {"ONE\n", 1}, {"on\n", 0}, {" ON\n", 0},
                  {"OFF\n", 0}, {"O\n", 0},    {"\n", -1}, {"\r\n", -1}, {"", -1}};
    for (const auto &k : keys) {
        for (const auto &v : values) {
            for (int before : {0, 1}) {
                SCOPED_TRACE(std::string(k.key) + "=" + v.text + " (was " + std::to_string(before) +
                             ")");
                SetUp();
                *k.var = before;
                read(std::string(k.section) + "\n" + k.key + "=" + v.text);
                EXPECT_EQ(*k.var, v.want < 0 ? before : v.want);
            }
        }
    }
}

TEST_F(SettingsTest, ThresholdModeTakesALeadingUpperCaseTIME) {
    struct Value {
        const char *text;
        int want;
    } values[] = {{"TIME\n", 1},  {"TIMEOUT\n", 1}, {"TIME\r\n", 1}, {"time\n", 0},
                  {"COUNT\n", 0}, {"TIM\n", 0},     {" TIME\n", 0},  {"\n", -1}};
    for (const auto &v : values) {
        for (int before : {0, 1}) {
            SCOPED_TRACE(std::string(v.text) + " was " + std::to_string(before));
            SetUp();
            g_iThresholdMode = before;
            read(std::string("[THRESHOLD]\nTHRESHOLD_MODE=") + v.text);
            EXPECT_EQ(g_iThresholdMode, v.want < 0 ? before : v.want);
        }
    }
}

TEST_F(SettingsTest, SenseKeysNeedTheCountInForceAndAreCutToTheirEntry) {
    read("[AERROR]\n"
         "AERROR_SENSE_KEY2=EARLY\n" // count still 1: ignored
         "AERROR_SENSE_KEY1=ALL\r\n"
         "AERROR_SENSE_COUNT=3\n"
         "AERROR_SENSE_KEY2=0B\n"
         "AERROR_SENSE_KEY3=12345678901\n"
         "AERROR_SENSE_KEY4=BEYOND\n");
    EXPECT_EQ(g_iAErrorCnt, 3);
    EXPECT_EQ(entry(g_cAErrSenseKey[0]), "ALL");
    EXPECT_EQ(entry(g_cAErrSenseKey[1]), "0B");
    EXPECT_EQ(entry(g_cAErrSenseKey[2]), "1234567");
    EXPECT_TRUE(terminated(g_cAErrSenseKey[2]));
    EXPECT_EQ(entry(g_cAErrSenseKey[3]), "");

    // KEY10 is its own key, not KEY1 with a trailing digit; spaces are kept.
    SetUp();
    read("[AERROR]\nAERROR_SENSE_COUNT=10\nAERROR_SENSE_KEY10= 3 1\nAERROR_SENSE_KEY1=\n");
    EXPECT_EQ(entry(g_cAErrSenseKey[9]), " 3 1");
    EXPECT_EQ(entry(g_cAErrSenseKey[0]), "");

    // A later, smaller count keeps what was stored.
    SetUp();
    read("[AERROR]\nAERROR_SENSE_COUNT=2\nAERROR_SENSE_KEY2=X\nAERROR_SENSE_COUNT=1\nAERROR_SENSE_"
         "KEY2=Y\n");
    EXPECT_EQ(g_iAErrorCnt, 1);
    EXPECT_EQ(entry(g_cAErrSenseKey[1]), "X");
}

TEST_F(SettingsTest, SenseKeysBeyondTheListAreIgnoredButTheCountIsKept) {
    read("[AERROR]\nAERROR_SENSE_COUNT=150\nAERROR_SENSE_KEY100=LAST\nAERROR_SENSE_KEY101=OVER\n"
         "AERROR_SENSE_KEY150=OVER\n");
    // A write past the list is what AddressSanitizer would report here.
    EXPECT_EQ(g_iAErrorCnt, 150);
    EXPECT_EQ(entry(g_cAErrSenseKey[99]), "LAST");
}

TEST_F(SettingsTest, ModelNamesNeedACountAndAreCutToTheirEntry) {
    read("[MEDIUM]\nMCMR_NAME1=EARLY\n");
    EXPECT_EQ(entry(g_cMBoardName[0]), "") << "MCMR_NAME1 before MCMR_COUNT";

    SetUp();
    const std::string longName(100, 'N');
    read("[MEDIUM]\nMCMR_COUNT=12\nMCMR_NAME1=VENDORX MegaRAID SAS MODEL-4000\r\nMCMR_NAME2=" +
         longName +
         "\nMCMR_NAME10=TENTH\nMCMR_NAME11=OVER\nMCMR_NAME12=OVER\n[HISTORY]\nHISTORY_COUNT=3\n");
    EXPECT_EQ(g_iMBoardCnt, 12);
    EXPECT_EQ(entry(g_cMBoardName[0]), "VENDORX MegaRAID SAS MODEL-4000");
    EXPECT_EQ(entry(g_cMBoardName[1]), std::string(79, 'N'));
    EXPECT_TRUE(terminated(g_cMBoardName[1]));
    EXPECT_EQ(entry(g_cMBoardName[9]), "TENTH");
    EXPECT_EQ(g_iHistoryCnt, 3);
}

TEST_F(SettingsTest, LibraryNameIsStoredWithoutLineEndsAndCutTo255) {
    read("[LIB]\nLIBPATH=sub dir/lib=x.so\r\n");
    EXPECT_EQ(entry(g_cLibFileName), "sub dir/lib");

    SetUp();
    read("[LIB]\nLIBPATH=\r\n");
    EXPECT_EQ(entry(g_cLibFileName), "libstorelib.so.2.52-0");

    SetUp();
    read("[LIB]\nLIBPATH=a.so\nLIBPATH=\n");
    EXPECT_EQ(entry(g_cLibFileName), "a.so");

    SetUp();
    const std::string longName(300, 'L');
    read("[LIB]\nLIBPATH=" + longName + "\n");
    EXPECT_EQ(entry(g_cLibFileName), std::string(255, 'L'));
    EXPECT_TRUE(terminated(g_cLibFileName));
}

TEST_F(SettingsTest, MediumWindowUsesTheValuesInForceAtTheMcModeLine) {
    read("[WAIT]\nLWAIT_TIME=10000\n[THRESHOLD]\nTHRESHOLD_TIME=10\n[MEDIUM]\nMC_MODE=ON\n");
    EXPECT_EQ(g_iMErrMode, 1);
    EXPECT_EQ(g_iMcTblDiff, 60);

    SetUp();
    read("[MEDIUM]\nMC_MODE=ON\n[WAIT]\nLWAIT_TIME=10000\n[THRESHOLD]\nTHRESHOLD_TIME=10\n");
    EXPECT_EQ(g_iMcTblDiff, 0) << "5 s / 6 cycles, not recomputed later";

    SetUp();
    read("[THRESHOLD]\nTHRESHOLD_TIME=5\n[MEDIUM]\nMC_MODE=ON\r\n");
    EXPECT_EQ(g_iMcTblDiff, 50);

    SetUp();
    read("[WAIT]\nLWAIT_TIME=6999\n[THRESHOLD]\nTHRESHOLD_TIME=1\n[MEDIUM]\nMC_MODE=ON\n");
    EXPECT_EQ(g_iMcTblDiff, 10) << "LWAIT_TIME/1000 truncates";

    SetUp();
    read("[WAIT]\nLWAIT_TIME=1000\n[THRESHOLD]\nTHRESHOLD_TIME=100\n[MEDIUM]\nMC_MODE=ON\n");
    EXPECT_EQ(g_iMcTblDiff, 6000) << "a window beyond the ring is stored as computed";

    SetUp();
    g_iMcTblDiff = 17;
    read("[MEDIUM]\nMC_MODE=OFF\n");
    EXPECT_EQ(g_iMErrMode, 0);
    EXPECT_EQ(g_iMcTblDiff, 17);

    SetUp();
    read("[WAIT]\nLWAIT_TIME=1000\n[MEDIUM]\nMC_MODE=ON\n[THRESHOLD]\nTHRESHOLD_TIME=1\n[MEDIUM]"
         "\nMC_MODE=OFF\n");
    EXPECT_EQ(g_iMcTblDiff, 5) << "OFF keeps the window an earlier ON computed";
}

TEST_F(SettingsTest, MediumWindowNeverDividesByZeroOrOverflows) {
    for (const char *wait : {"500", "999", "-999", "1"}) {
        SCOPED_TRACE(wait);
        SetUp();
        g_iMcTblDiff = 17;
        read(std::string("[WAIT]\nLWAIT_TIME=") + wait + "\n[MEDIUM]\nMC_MODE=ON\n");
        EXPECT_EQ(g_iMErrMode, 1);
        EXPECT_EQ(g_iMcTblDiff, 17);
    }
    // INT_MIN / -1 is the other quotient that does not fit.
    SetUp();
    read("[WAIT]\nLWAIT_TIME=-1000\n[THRESHOLD]\nTHRESHOLD_TIME=-99999999999\n[MEDIUM]\nMC_MODE="
         "ON\n");
    EXPECT_EQ(g_iThresholdTime, INT_MIN);
    EXPECT_EQ(g_iMErrMode, 1);

    SetUp();
    read("[WAIT]\nLWAIT_TIME=-2000\n[THRESHOLD]\nTHRESHOLD_TIME=10\n[MEDIUM]\nMC_MODE=ON\n");
    EXPECT_EQ(g_iMcTblDiff, -300);
}

TEST_F(SettingsTest, LaterLinesWin) {
    read("[WAIT]\nLWAIT_TIME=2000\n[SMART]\nSMART_MODE=OFF\n[WAIT]\nLWAIT_TIME=3000\n[SMART]"
         "\nSMART_MODE=ON\n");
    EXPECT_EQ(g_iLWaitTime, 3000);
    EXPECT_EQ(g_iSmartMode, 1);
}

TEST_F(SettingsTest, EveryKeyReadFromATypicalFile) {
    EXPECT_EQ(read("# Kestrun settings\r\n"
                   "[WAIT]\r\nLWAIT_TIME=10000\r\n"
                   "[APPLOG]\r\nAPPLOG_SWITCH=OFF\r\n"
                   "[PFSERVLOG]\r\nPFSERVLOG_SWITCH=OFF\r\n"
                   "[THRESHOLD]\r\nTHRESHOLD_MODE=COUNT\r\nTHRESHOLD_TIME=10\r\n"
                   "[POLL]\r\nPOLL_EVENT=ON\r\n"
                   "[SMART]\r\nSMART_MODE=OFF\r\n"
                   "[AERROR]\r\nAERROR_MODE=OFF\r\nAERROR_SENSE_COUNT=2\r\nAERROR_SENSE_KEY1=3\r\n"
                   "AERROR_SENSE_KEY2=4\r\nAERROR_COUNT_HDD=11\r\nAERROR_COUNT_SSD=12\r\n"
                   "[MEDIUM]\r\nMC_MODE=ON\r\nMCMR_COUNT=1\r\nMCMR_NAME1=RAID X\r\n"
                   "[HISTORY]\r\nHISTORY_COUNT=3\r\n"
                   "[LIB]\r\nLIBPATH=lib/storelib.so\r\n"),
              1);
    EXPECT_EQ(g_iLWaitTime, 10000);
    EXPECT_EQ(g_iAppLogSwitch, 0);
    EXPECT_EQ(g_iPreServLogSwitch, 0);
    EXPECT_EQ(g_iThresholdMode, 0);
    EXPECT_EQ(g_iThresholdTime, 600);
    EXPECT_EQ(g_iPollEvent, 1);
    EXPECT_EQ(g_iSmartMode, 0);
    EXPECT_EQ(g_iAErrorMode, 0);
    EXPECT_EQ(g_iAErrorCnt, 2);
    EXPECT_EQ(entry(g_cAErrSenseKey[0]), "3");
    EXPECT_EQ(entry(g_cAErrSenseKey[1]), "4");
    EXPECT_EQ(g_iAErrorCntHDD, 11);
    EXPECT_EQ(g_iAErrorCntSSD, 12);
    EXPECT_EQ(g_iMErrMode, 1);
    EXPECT_EQ(g_iMcTblDiff, 60);
    EXPECT_EQ(g_iMBoardCnt, 1);
    EXPECT_EQ(entry(g_cMBoardName[0]), "RAID X");
    EXPECT_EQ(g_iHistoryCnt, 3);
    EXPECT_EQ(entry(g_cLibFileName), "lib/storelib.so");
}

TEST_F(SettingsTest, LongLinesAreReadIn511BytePieces) {
    // The second piece of a long line is a line of its own, comment marker or not.
    for (char first : {'x', '#'}) {
        SCOPED_TRACE(first);
        SetUp();
        std::string piece(511, 'y');
        piece[0] = first;
        read("[WAIT]\n" + piece + "LWAIT_TIME=4000\n");
        EXPECT_EQ(g_iLWaitTime, 4000);
    }
    // A piece that ends right after "=" has no value; the rest of the line
    // ("5") is a piece without a key.
    SetUp();
    std::string line = std::string(497, 'y') + "HISTORY_COUNT="; // exactly 511 bytes
    read("[HISTORY]\n" + line + "5\n");
    EXPECT_EQ(g_iHistoryCnt, 7);
}

// Everything a reader's state holds, to see that asking for notes changes nothing.
std::string snapshot() {
    std::string s;
    for (int v :
         {g_iLWaitTime, g_iAppLogSwitch, g_iPreServLogSwitch, g_iThresholdMode, g_iThresholdTime,
          g_iPollEvent, g_iSmartMode, g_iAErrorMode, g_iAErrorCnt, g_iAErrorCntHDD, g_iAErrorCntSSD,
          g_iMErrMode, g_iMBoardCnt, g_iHistoryCnt, g_iMcTblDiff, g_iActionMode})
        s += std::to_string(v) + ",";
    for (auto &k : g_cAErrSenseKey)
        s += entry(k) + ",";
    for (auto &n : g_cMBoardName)
        s += entry(n) + ",";
    return s + entry(g_cLibFileName) + entry(g_cNotifyProgram) + entry(g_cMetricsFile) +
           entry(g_cNotifyProgramTooLong) + entry(g_cMetricsFileTooLong) +
           entry(g_cActionModeUnknown);
}

std::string sourceFile(const char *rel) {
    std::ifstream in(std::string(KESTRUN_SOURCE_DIR) + "/" + rel);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Note {
    int line, level;
    std::string text;
};

void collect(void *context, int line, int level, const char *text) {
    static_cast<std::vector<Note> *>(context)->push_back(Note{line, level, text});
}

// One row per way a line is ignored or not taken as written: the note names
// the line and says why, and reading with notes stores exactly what the
// daemon's reading without them stores.
TEST_F(SettingsTest, NotesSayWhichLineIsNotTakenAndWhy) {
    constexpr int W = SETTINGS_NOTE_WARNING, E = SETTINGS_NOTE_ERROR;
    const std::string longPath = "/" + std::string(300, 'p');
    const struct {
        std::string ini;
        size_t notes; // how many in all
        int line, level;
        const char *says;
    } rows[] = {
        {"LWAIT_TIME=1\n", 1, 1, W, "before the first section header: ignored"},
        {"[WAIT]\nLWAIT_TIME = 3000\n", 1, 2, W, "blanks around the key"},
        {"[WAIT]\n LWAIT_TIME=3000\n", 1, 2, W, "starts with a blank or a TAB: ignored"},
        {"[WAIT]\n# LWAIT_TIME=3000\n\n  # indented comment\n", 0, 0, 0, ""},
        {"[WAIT]\nlwait_time=3000\n", 1, 2, W, "key names are upper case (LWAIT_TIME)"},
        {"[SMART]\nLWAIT_TIME=3000\n", 1, 2, W, "LWAIT_TIME belongs to [WAIT], not [SMART]"},
        {"[WAIT]\nLWAIT=3000\n", 1, 2, W, "unknown key \"LWAIT\" in [WAIT]"},
        {"[WAIT]\n=3000\n", 1, 2, W, "no key before the \"=\""},
        {"[WAIT]\nLWAIT_TIME\n", 1, 2, W, "no \"=\" in the line"},
        {"[WAIT]\n[OTHER]\n", 1, 2, W, "\"[OTHER]\" is no section header: the section before"},
        {"[WAIT] LWAIT_TIME=3000\n", 1, 1, W, "only [WAIT] is taken, the rest of the line"},
        {"[WAIT]\nLWAIT_TIME=abc\n", 1, 2, W, "\"abc\" is not a number: it reads as 0 (6000)"},
        {"[WAIT]\nLWAIT_TIME=3000ms\n", 1, 2, W, "the text after the number is ignored"},
        {"[WAIT]\nLWAIT_TIME=500\n", 1, 2, W, "LWAIT_TIME=500 lies outside 1000 to 3600000"},
        {"[WAIT]\nLWAIT_TIME=99999999999\n", 1, 2, W, "beyond the 32-bit range: taken as"},
        {"[WAIT]\nLWAIT_TIME=\n", 1, 2, W, "LWAIT_TIME has an empty value: it reads as 0"},
        {"[WAIT]\nLWAIT_TIME=2000\nLWAIT_TIME=3000\n", 1, 3, W,
         "LWAIT_TIME repeated: this line wins over line 2"},
        {"[THRESHOLD]\nTHRESHOLD_TIME=-2\n", 1, 2, W, "THRESHOLD_TIME=-2 lies outside 1 to 1440"},
        {"[THRESHOLD]\nTHRESHOLD_MODE=time\n", 1, 2, W,
         "neither TIME nor COUNT: it reads as COUNT"},
        {"[SMART]\nSMART_MODE=on\n", 1, 2, W, "\"on\" is neither ON nor OFF: it reads as OFF"},
        {"[SMART]\nSMART_MODE=ON\n[APPLOG]\nAPPLOG_SWITCH=OFFLINE\n", 0, 0, 0, ""},
        {"[HISTORY]\nA=B HISTORY_COUNT=3\n", 2, 2, W, "more than one \"=\": the value is only"},
        {"[HISTORY]\nHISTORY_COUNT=0\n[AERROR]\nAERROR_SENSE_COUNT=0\n", 0, 0, 0, ""},
        {"[AERROR]\nAERROR_SENSE_COUNT=101\n", 1, 2, W, "entries beyond 100 are ignored"},
        {"[AERROR]\nAERROR_SENSE_KEY2=0B\n", 1, 2, W, "AERROR_SENSE_COUNT is 1 here"},
        {"[AERROR]\nAERROR_SENSE_KEY1=12345678\n", 1, 2, W, "longer than 7 characters"},
        {"[AERROR]\nAERROR_SENSE_KEY1=0x0B\n", 1, 2, W, "neither ALL nor hexadecimal"},
        {"[MEDIUM]\nMCMR_NAME1=X\n", 1, 2, W, "MCMR_COUNT is 0 here"},
        {"[MEDIUM]\nMCMR_COUNT=11\n", 1, 2, W, "MCMR_COUNT=11 lies outside 0 to 10"},
        {"[MEDIUM]\nMCMR_COUNT=1\nMCMR_NAME1=MODEL-4000 \n", 1, 3, W,
         "MCMR_NAME1 \"MODEL-4000 \" begins or ends with blanks"},
        {"[MEDIUM]\nMCMR_COUNT=1\nMCMR_NAME11=X\n", 1, 3, W, "must lie from 1 to 10"},
        {"[MEDIUM]\nMC_MODE=ON\n", 1, 2, W, "the MEDIUM window is 0 cycles (5 s / 6 s)"},
        {"[WAIT]\nLWAIT_TIME=1000\n[THRESHOLD]\nTHRESHOLD_TIME=20\n[MEDIUM]\nMC_MODE=ON\n", 1, 6, W,
         "window is 1200 cycles, more than the 1024"},
        {"[WAIT]\nLWAIT_TIME=1000\n[THRESHOLD]\nTHRESHOLD_TIME=10\n[MEDIUM]\nMC_MODE=ON\n", 0, 0, 0,
         ""},
        {"[ACTION]\nACTION_MODE=observe\n", 1, 2, W, "\"observe\" is neither OBSERVE nor REMOVE"},
        {"[ACTION]\nACTION_MODE=\n", 1, 2, W, "empty value: as if it were not there"},
        {"[NOTIFY]\nNOTIFY_PROGRAM=" + longPath + "\n", 1, 2, E, "refused, the setting is off"},
        {"[METRICS]\nMETRICS_FILE=" + longPath + "\n", 1, 2, E, "refused, the setting is off"},
        {"[LIB]\nLIBPATH=" + longPath + "\n", 1, 2, W, "longer than 255 characters: cut"},
        {"[WAIT]\n" + std::string(600, 'x') + "\n", 3, 2, W, "longer than 511 bytes"},
        {sourceFile("packaging/Kestrun.ini"), 0, 0, 0, ""},
        {sourceFile("demo/Kestrun.ini"), 0, 0, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ini.substr(0, 120));
        SetUp();
        read(row.ini);
        const std::string without = snapshot();
        SetUp();
        std::vector<Note> notes;
        SettingsNotes sink{collect, &notes};
        ASSERT_EQ(iIniFileReadPath(dir.file("Kestrun.ini").c_str(), &sink), 1);
        EXPECT_EQ(snapshot(), without);
        std::string all;
        for (const auto &n : notes)
            all += std::to_string(n.line) + ": " + n.text + "\n";
        EXPECT_EQ(notes.size(), row.notes) << all;
        if (row.notes == 0)
            continue;
        bool found = false;
        for (const auto &n : notes)
            found = found || (n.line == row.line && n.level == row.level &&
                              n.text.find(row.says) != std::string::npos);
        EXPECT_TRUE(found) << all;
    }

    std::vector<Note> notes;
    SettingsNotes sink{collect, &notes};
    EXPECT_EQ(iIniFileReadPath(dir.file("missing.ini").c_str(), &sink), 0);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].line, 0);
    EXPECT_EQ(notes[0].level, SETTINGS_NOTE_ERROR);
}

} // namespace
