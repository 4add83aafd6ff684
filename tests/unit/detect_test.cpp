// The detection arithmetic: the media-error ring and its base slot, growth
// against the threshold, the event window and the sense filter. Removal is
// observed through the drive-information reads it starts with; the fake
// controller answers every drive as unconfigured-good, so removal stops there.
#include "config/settings.h"
#include "process/process.h"
#include "detect/event_scan.h"
#include "detect/health_scan.h"
#include "detect/tables.h"
#include "storage/StoreCmd.h"

#include "shim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

int g_pdReads = 0;
int g_pdReadFailures = 0; // the next N drive reads fail
uint8_t g_mediaType = 0;
std::vector<std::string> g_syslog;

int FakeLib(void *p) {
    CmdParam *b = static_cast<CmdParam *>(p);
    if (b->category == 2 && b->opcode == 0) {
        g_pdReads++;
        if (g_pdReadFailures > 0) {
            g_pdReadFailures--;
            return 3;
        }
        PdInfo *info = static_cast<PdInfo *>(b->dataBuffer);
        info->firmwareState = PD_STATE_UNCONFIGURED_GOOD;
        info->mediaType = g_mediaType;
    }
    return 0;
}

class DetectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ProcessLibCommandF = FakeLib;
        g_iSignalRecv = 0;
        kestrun_shim_reset();
        g_syslog.clear();
        kestrun_shim_syslog_hook = [](int, const char *text) { g_syslog.push_back(text); };
        vTablesClear();
        memset(MegaRaidMErr, 0, sizeof MegaRaidMErr);
        memset(MegaRaid, 0, sizeof MegaRaid);
        MegaRaidMErr[0].enabled = 1;
        g_iAErrorCntHDD = 20;
        g_iAErrorCntSSD = 30;
        g_iThresholdMode = 1;
        g_iThresholdTime = 300;
        g_iMcTblDiff = 50;
        g_pdReads = 0;
        g_pdReadFailures = 0;
        g_mediaType = 0;
        snprintf(gcModulePath, sizeof gcModulePath, "/nonexistent-kestrun-dir");
    }
    void TearDown() override {
        ProcessLibCommandF = nullptr;
        kestrun_shim_syslog_hook = nullptr;
    }

    // Feeds one media-error sample; returns whether removal was called.
    bool Sample(uint32_t count, int dev = 1, uint8_t media = 0) {
        int before = g_pdReads;
        iMediumChk(0, dev, media, count);
        return g_pdReads > before;
    }

    // Counts one event with the given code and time stamp for device `dev`;
    // returns whether removal was called.
    bool Event(uint32_t stamp, uint16_t code = 267, int dev = 5) {
        std::vector<uint8_t> block(8 + 256, 0);
        EventDetail *r = pEventRecord(block.data(), 0);
        r->timeStamp = stamp;
        r->eventCode = code;
        r->pdDeviceId = static_cast<uint16_t>(dev);
        int before = g_pdReads;
        iHddChk(0, dev, block.data(), 3, 0);
        int reads = g_pdReads - before;
        return code != 112 && reads == 2;
    }
};

TEST_F(DetectTest, BaseSlotFollowsTheWindowAndStaysInsideTheRing) {
    // Before the ring wraps: slot 0 until more than w samples exist.
    EXPECT_EQ(0, iMediumBaseSlot(1, 0, 50));
    EXPECT_EQ(0, iMediumBaseSlot(50, 0, 50));
    EXPECT_EQ(0, iMediumBaseSlot(51, 0, 50)); // 51st sample against the first
    EXPECT_EQ(1, iMediumBaseSlot(52, 0, 50));
    // After the wrap the formula always applies, modulo 1024.
    EXPECT_EQ(974, iMediumBaseSlot(1, 1, 50)); // (1 - 50 + 1023) mod 1024
    EXPECT_EQ(973, iMediumBaseSlot(0, 1, 50));
    // Window 0: the sample just stored.
    EXPECT_EQ(9, iMediumBaseSlot(10, 0, 0));
    EXPECT_EQ(1023, iMediumBaseSlot(0, 1, 0));
    // A window beyond the ring: the oldest sample the ring holds.
    EXPECT_EQ(0, iMediumBaseSlot(700, 0, 5000));
    EXPECT_EQ(700, iMediumBaseSlot(700, 1, 5000));
    // A negative window never reaches ahead of the current sample.
    EXPECT_EQ(9, iMediumBaseSlot(10, 0, -3));
    EXPECT_EQ(1023, iMediumBaseSlot(0, 1, -3));
    for (int w : {-100000, -1, 0, 1, 1023, 1024, 100000})
        for (int r : {0, 1, 500, 1023})
            for (int wr : {0, 1}) {
                int b = iMediumBaseSlot(r, wr, w);
                EXPECT_TRUE(b >= 0 && b < 1024) << r << " " << wr << " " << w;
            }
}

TEST_F(DetectTest, RingWrapsAfter1024Samples) {
    g_iMcTblDiff = 0;
    for (int i = 0; i < 1023; i++)
        Sample(5);
    EXPECT_EQ(1023, MegaRaidMErr[0].drives[1].ringIndex);
    EXPECT_EQ(0, MegaRaidMErr[0].drives[1].wrapped);
    Sample(5); // the 1024th sample goes to slot 1023
    EXPECT_EQ(0, MegaRaidMErr[0].drives[1].ringIndex);
    EXPECT_EQ(1, MegaRaidMErr[0].drives[1].wrapped);
    EXPECT_EQ(0, g_pdReads); // window 0 never removes
}

TEST_F(DetectTest, TimeModeRemovesOnGrowthOverTheWindow) {
    g_iMcTblDiff = 2;
    EXPECT_FALSE(Sample(100));
    EXPECT_FALSE(Sample(110));
    EXPECT_FALSE(Sample(119)); // 119 - 100 below 20
    EXPECT_TRUE(Sample(130));  // 130 against slot 1 (110): 20
    EXPECT_FALSE(Sample(135)); // against 119: 16
    // SSD threshold applies for a nonzero media type.
    memset(&MegaRaidMErr[0].drives[2], 0, sizeof(MErrCounter));
    EXPECT_FALSE(Sample(0, 2, 1));
    EXPECT_FALSE(Sample(29, 2, 1));
    EXPECT_TRUE(Sample(30, 2, 1));
}

TEST_F(DetectTest, CountModeTakesABaselineFirst) {
    g_iThresholdMode = 0;
    EXPECT_FALSE(Sample(7)); // baseline only
    EXPECT_FALSE(Sample(26));
    EXPECT_TRUE(Sample(27));
    EXPECT_TRUE(Sample(40)); // removal is called again while it holds
}

TEST_F(DetectTest, FallingCountIsNoGrowthAndNegativeThresholdNeverTriggers) {
    g_iThresholdMode = 0;
    EXPECT_FALSE(Sample(50));
    EXPECT_FALSE(Sample(10)); // unsigned 10 - 50 would be beyond any threshold
    g_iThresholdMode = 1;
    g_iMcTblDiff = 1;
    memset(&MegaRaidMErr[0].drives[3], 0, sizeof(MErrCounter));
    EXPECT_FALSE(Sample(0, 3));
    g_iAErrorCntHDD = -5;
    EXPECT_FALSE(Sample(1000000, 3));
}

TEST_F(DetectTest, DrivesAndControllersWithoutSlotsAreNotSampled) {
    g_iMcTblDiff = 0;
    EXPECT_EQ(1, iMediumChk(16, 8, 0, 1000));
    EXPECT_EQ(1, iMediumChk(0, 65535, 0, 1000));
    EXPECT_EQ(1, iMediumChk(16, 1, 0, 1000));
    EXPECT_EQ(1, iMediumChk(-1, 1, 0, 1000));
    MegaRaidMErr[1].enabled = 0;
    EXPECT_EQ(1, iMediumChk(1, 1, 0, 1000));
    EXPECT_EQ(0, MegaRaidMErr[1].drives[1].ringIndex);
    EXPECT_EQ(0, g_pdReads);
}

TEST_F(DetectTest, EventWindowAtThresholdAndJustOutside) {
    // 20 events spanning exactly 300 seconds: removal at the 20th.
    for (int i = 0; i < 19; i++)
        EXPECT_FALSE(Event(1000 + i * 300 / 19));
    EXPECT_TRUE(Event(1300));

    memset(MegaRaid, 0, sizeof MegaRaid);
    for (int i = 0; i < 19; i++)
        EXPECT_FALSE(Event(1000 + i));
    EXPECT_FALSE(Event(1301)); // 301 seconds
    // The 21st event is tested over events 2 to 21.
    EXPECT_TRUE(Event(1301));
}

TEST_F(DetectTest, CountModeAndResetEvent) {
    g_iThresholdMode = 0;
    for (int i = 0; i < 19; i++)
        EXPECT_FALSE(Event(1000));
    EXPECT_FALSE(Event(0, 112)); // reset, no drive read
    EXPECT_EQ(0u, MegaRaid[0][5].count);
    for (int i = 0; i < 19; i++)
        EXPECT_FALSE(Event(1000));
    EXPECT_TRUE(Event(1000));
    EXPECT_TRUE(Event(1000));
    g_mediaType = 1; // SSD threshold 30
    memset(MegaRaid, 0, sizeof MegaRaid);
    for (int i = 0; i < 29; i++)
        EXPECT_FALSE(Event(1000));
    EXPECT_TRUE(Event(1000));
}

TEST_F(DetectTest, WindowStaysOnTheNewestStampsAfterAFailedReadAndAtSaturation) {
    // A failed drive read raises the count without storing a stamp. The window
    // must still be the newest 20 stamps, not an old one picked by the count.
    for (int i = 0; i < 10; i++)
        Event(1000 + i);
    g_pdReadFailures = 2; // both attempts of the command layer
    Event(5000);
    for (int i = 0; i < 19; i++)
        EXPECT_FALSE(Event(100000 + i)) << i;
    EXPECT_TRUE(Event(100019)); // the newest 20 stamps span 19 seconds

    // Saturation: the count stops at 0x10000 while the ring moves on.
    memset(MegaRaid, 0, sizeof MegaRaid);
    MegaRaid[0][5].count = 0x10000;
    MegaRaid[0][5].ringIndex = 17;
    for (int i = 0; i < 1024; i++)
        MegaRaid[0][5].eventTimes[i] = 0; // old stamps
    for (int i = 0; i < 19; i++)
        Event(900000 + i);
    EXPECT_EQ(0x10000u, MegaRaid[0][5].count);
    EXPECT_TRUE(Event(900019));
}

TEST_F(DetectTest, EventsForDrivesWithoutSlotsAreNotCounted) {
    std::vector<uint8_t> block(8 + 256, 0);
    EventDetail *r = pEventRecord(block.data(), 0);
    r->eventCode = 267;
    EXPECT_EQ(1, iHddChk(16, 256, block.data(), 3, 0));
    EXPECT_EQ(1, iHddChk(16, 1, block.data(), 3, 0));
    EXPECT_EQ(1, iHddChk(0, 65535, block.data(), 3, 0));
    EXPECT_EQ(0, g_pdReads);
}

// Both tables give a drive the same slot: its own number's while free, else
// the highest free one. A full list of scattered ids fits, each in its own.
TEST_F(DetectTest, EveryDriveGetsAnOwnSlotWhateverItsDeviceId) {
    const struct {
        int ctrl, dev, slot;
    } rows[] = {{0, 1, 1},     {0, 9, 9},      {0, 200, 200},  {0, 40000, 255},
                {0, 65534, 254}, {0, 255, 253}, {5, 40000, 255}, {5, 9, 9},
                {15, 0, 0},    {15, 65534, 255}};
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.ctrl) + ":" + std::to_string(r.dev));
        EXPECT_EQ(pMErrCounter(r.ctrl, r.dev), &MegaRaidMErr[r.ctrl].drives[r.slot]);
        EXPECT_EQ(pAErrCounter(r.ctrl, r.dev), &MegaRaid[r.ctrl][r.slot]);
        EXPECT_EQ(iTableSlotFind(r.ctrl, r.dev), r.slot);
    }
    std::set<int> slots;
    for (int k = 0; k < 256; k++) {
        int id = (k * 4099 + 7) % 65535;
        ASSERT_NE(pAErrCounter(3, id), nullptr) << id;
        slots.insert(iTableSlotFind(3, id));
    }
    EXPECT_EQ(slots.size(), 256u);
    EXPECT_EQ(llTableEventCount(3, 7), 0);     // watched, no event yet
    EXPECT_EQ(llTableEventCount(16, 7), -1);   // beyond the tables
    EXPECT_EQ(llTableEventCount(0, 65535), -1); // no drive
    EXPECT_THAT(g_syslog, ::testing::IsEmpty());
}

// Controller 2 holds 256 drives (ids 1000-1255), each with its own history.
// A drive keeps its slot while away; a drive without one takes the slot of
// the drive seen longest ago, never one seen in this cycle, and starts afresh.
TEST_F(DetectTest, ADriveKeepsItsSlotWhileAwayUntilAnotherNeedsIt) {
    PdList list{};
    auto cycle = [&](int from, int to, int extra) {
        vTablesCycle();
        list.pdCount = 0;
        for (int id = from; id <= to; id++)
            list.entry[list.pdCount++].deviceId = static_cast<uint16_t>(id);
        if (extra >= 0)
            list.entry[list.pdCount++].deviceId = static_cast<uint16_t>(extra);
        vTablesListed(2, &list, static_cast<int>(list.pdCount));
    };
    cycle(1000, 1255, -1);
    for (int id = 1000; id <= 1255; id++) {
        pAErrCounter(2, id)->count = static_cast<uint64_t>(id);
        pMErrCounter(2, id)->lastCount = id;
    }
    pAErrCounter(4, 9)->count = 5;
    pMErrCounter(4, 9)->lastCount = 5;
    const struct {
        const char *what;
        int from, to, extra; // listed in a new cycle; from < 0: same cycle
        int ctrl, dev;
        long long history; // count and lastCount found; -1: no slot
    } steps[] = {
        {"every slot seen in this cycle", -1, 0, 0, 2, 7, -1},
        {"asked again: reported once", -1, 0, 0, 2, 7, -1},
        {"1255 away: 7 takes its slot", 1000, 1254, -1, 2, 7, 0},
        {"the others keep theirs", -1, 0, 0, 2, 1000, 1000},
        {"1255 back, no slot seen before this cycle", 1000, 1254, 7, 2, 1255, -1},
        {"1000 away: 1255 takes its slot afresh", 1001, 1254, 7, 2, 1255, 0},
        {"7 kept its own", -1, 0, 0, 2, 7, 0},
        {"back after cycles away, slots to spare", -1, 0, 0, 4, 9, 5},
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.what);
        if (st.from >= 0)
            cycle(st.from, st.to, st.extra);
        AErrCounter *a = pAErrCounter(st.ctrl, st.dev);
        MErrCounter *m = pMErrCounter(st.ctrl, st.dev);
        EXPECT_EQ(a == nullptr ? -1 : static_cast<long long>(a->count), st.history);
        EXPECT_EQ(m == nullptr ? -1 : m->lastCount, st.history);
    }
    const std::string full = "<6600:Warning> PD not watched: all 256 drive slots of its "
                             "controller are in use. (Controller:2 PD:";
    EXPECT_THAT(g_syslog, ::testing::ElementsAre(full + "7 Mode:AERROR)", full + "7 Mode:MEDIUM)",
                                                 full + "1255 Mode:AERROR)",
                                                 full + "1255 Mode:MEDIUM)"));
}

TEST_F(DetectTest, SenseFilter) {
    memset(g_cAErrSenseKey, 0, sizeof g_cAErrSenseKey);
    g_iAErrorCnt = 1;
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x00)); // default: one empty entry keeps all
    snprintf(g_cAErrSenseKey[0], 8, "05");
    EXPECT_EQ(0, iSenseKeep(0x05, 0x24, 0x00));
    EXPECT_EQ(1, iSenseKeep(0x03, 0x11, 0x00));
    EXPECT_EQ(0, iSenseKeep(0x05, 0xFF, 0xFF));
    snprintf(g_cAErrSenseKey[0], 8, "052400");
    EXPECT_EQ(0, iSenseKeep(0x05, 0x24, 0x00));
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x01));
    snprintf(g_cAErrSenseKey[0], 8, "0524000"); // longer than the key: matches nothing
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x00));
    snprintf(g_cAErrSenseKey[0], 8, "F0A1"); // case-insensitive, flag bits printed
    EXPECT_EQ(0, iSenseKeep(0xF0, 0xA1, 0x00));
    snprintf(g_cAErrSenseKey[0], 8, "ALL");
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x00));
    snprintf(g_cAErrSenseKey[0], 8, "a"); // a prefix of ALL keeps everything
    EXPECT_EQ(1, iSenseKeep(0x0a, 0x24, 0x00));
    // An empty entry ahead of 05 ends the list.
    g_iAErrorCnt = 2;
    g_cAErrSenseKey[0][0] = '\0';
    snprintf(g_cAErrSenseKey[1], 8, "05");
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x00));
    // Counts beyond the list never read past its 100 entries.
    for (int j = 0; j < 100; j++)
        snprintf(g_cAErrSenseKey[j], 8, "7f");
    g_iAErrorCnt = 1000000;
    EXPECT_EQ(1, iSenseKeep(0x05, 0x24, 0x00));
    g_iAErrorCnt = -4;
    EXPECT_EQ(1, iSenseKeep(0x7f, 0, 0));
    g_iAErrorCnt = 1;
    memset(g_cAErrSenseKey, 0, sizeof g_cAErrSenseKey);
}

} // namespace

namespace {

// Pages of the event-rate table present in memory, besides its first and last
// (which it may share with other data). mincore counts a page that was only
// read as present too, so this sees a clear that compares before it writes.
int ResidentTablePages() {
    const long page = sysconf(_SC_PAGESIZE);
    uintptr_t from = (reinterpret_cast<uintptr_t>(MegaRaid) + page - 1) & ~(page - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(MegaRaid) + sizeof MegaRaid) & ~(page - 1);
    std::vector<unsigned char> in((to - from) / page);
    if (mincore(reinterpret_cast<void *>(from), to - from, in.data()) != 0)
        return -1;
    int n = 0;
    for (unsigned char v : in)
        n += v & 1;
    return n;
}

// In a fresh process (the death test runs this test again alone), the first
// clear of the run leaves the 8 MiB table out of memory, and a drive's event
// brings in only the pages it writes.
TEST(TablesDeathTest, FirstClearKeepsTheEventRateTableOutOfMemory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vTablesClear();
            int before = ResidentTablePages();
            pAErrCounter(1, 7)->count = 1;
            pAErrCounter(1, 7)->eventTimes[0] = 1;
            _exit(before == 0 && ResidentTablePages() <= 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A later run in the same process starts from empty tables.
TEST(Tables, EveryClearAfterTheFirstEmptiesThem) {
    vTablesClear();
    vTablesClear();
    pAErrCounter(1, 7)->count = 1;
    pAErrCounter(1, 7)->eventTimes[0] = 1;
    vTablesClear();
    EXPECT_EQ(pAErrCounter(1, 7)->count, 0u);
    EXPECT_EQ(pAErrCounter(1, 7)->eventTimes[0], 0u);
}

} // namespace
