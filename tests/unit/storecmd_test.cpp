// The command layer against an in-process fake library: the exact bytes of
// every command block, reply clearing, attempts and the waits between them.
#include "process/process.h"
#include "storage/StoreCmd.h"

#include "shim.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

namespace {

using Block = std::array<uint8_t, 40>;

struct FakeLib {
    std::vector<Block> calls;
    std::deque<int> statuses; // answered in order; then `otherwise`
    int otherwise = 0;
    std::function<void(CmdParam *)> onCall;
};
FakeLib *g_fake = nullptr;

int FakeProcessLibCommand(void *p) {
    Block b;
    memcpy(b.data(), p, b.size());
    g_fake->calls.push_back(b);
    if (g_fake->onCall)
        g_fake->onCall(static_cast<CmdParam *>(p));
    if (g_fake->statuses.empty())
        return g_fake->otherwise;
    int s = g_fake->statuses.front();
    g_fake->statuses.pop_front();
    return s;
}

// The block a command must send, built byte by byte from the layout.
Block Expected(uint8_t category, uint8_t opcode, uint32_t controller, uint16_t device,
               uint16_t reference, uint32_t argument, uint32_t length, const void *buffer) {
    Block b{};
    b[0] = category;
    b[1] = opcode;
    auto put32 = [&](int off, uint32_t v) {
        for (int i = 0; i < 4; i++)
            b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(4, controller);
    b[8] = static_cast<uint8_t>(device);
    b[9] = static_cast<uint8_t>(device >> 8);
    b[10] = static_cast<uint8_t>(reference);
    b[11] = static_cast<uint8_t>(reference >> 8);
    put32(16, argument);
    put32(28, length);
    uint64_t addr = reinterpret_cast<uintptr_t>(buffer);
    for (int i = 0; i < 8; i++)
        b[32 + i] = static_cast<uint8_t>(addr >> (8 * i));
    return b;
}

class StoreCmdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fake = &fake;
        ProcessLibCommandF = FakeProcessLibCommand;
        g_iSignalRecv = 0;
        kestrun_shim_reset();
        memset(&tCmdParam, 0xAB, sizeof tCmdParam); // stale bytes must not leak
        tErrInfo[0] = -12345;
    }
    void TearDown() override {
        ProcessLibCommandF = nullptr;
        g_fake = nullptr;
        g_iSignalRecv = 0;
    }
    FakeLib fake;
};

template <typename T> bool AllBytes(const T &rec, uint8_t v) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&rec);
    for (size_t i = 0; i < sizeof rec; i++)
        if (p[i] != v)
            return false;
    return true;
}

TEST_F(StoreCmdTest, EachCommandSendsItsExactBlockAndClearsOnlyItsClearedReplies) {
    CtrlList cl;
    memset(&cl, 0xEE, sizeof cl);
    fake.onCall = [](CmdParam *) {};
    // Replies that the layer clears are zero when the library writes nothing.
    EXPECT_EQ(1, iControllerSearch(&cl, 2, tErrInfo));
    EXPECT_EQ(Expected(0, 0, 0, 0, 0, 0, 68, &cl), fake.calls.back());
    EXPECT_TRUE(AllBytes(cl, 0));

    CtrlInfo ci;
    memset(&ci, 0xEE, sizeof ci);
    EXPECT_EQ(1, iGetControllerInfo(3, &ci, 2, tErrInfo));
    EXPECT_EQ(Expected(1, 0, 3, 0, 0, 0, 2048, &ci), fake.calls.back());
    EXPECT_TRUE(AllBytes(ci, 0));

    PdList pl;
    memset(&pl, 0xEE, sizeof pl);
    EXPECT_EQ(1, iGetPdList(1, &pl, 2, tErrInfo));
    EXPECT_EQ(Expected(1, 4, 1, 0, 0, 0, 6152, &pl), fake.calls.back());
    EXPECT_TRUE(AllBytes(pl, 0));

    PdInfo pi;
    memset(&pi, 0xEE, sizeof pi);
    EXPECT_EQ(1, iGetPhysicalInfo(2, 0x12345, &pi, 2, tErrInfo)); // low 16 bits of the id
    EXPECT_EQ(Expected(2, 0, 2, 0x2345, 0, 0, 512, &pi), fake.calls.back());
    EXPECT_TRUE(AllBytes(pi, 0));

    EXPECT_EQ(1, iRebuildCancel(0, 5, 0x10007, 2, tErrInfo));
    EXPECT_EQ(Expected(2, 6, 0, 5, 7, 0, 0, nullptr), fake.calls.back());

    SpareInfo si;
    memset(&si, 0xEE, sizeof si);
    EXPECT_EQ(1, iGetDHotInfo(1, 9, &si, 2, tErrInfo));
    EXPECT_EQ(Expected(2, 12, 1, 9, 0, 0, 40, &si), fake.calls.back());
    EXPECT_TRUE(AllBytes(si, 0xEE)); // not cleared by the layer

    EXPECT_EQ(1, iRemoveHotSpare(0, 65535, 300, 2, tErrInfo));
    EXPECT_EQ(Expected(2, 13, 0, 65535, 300, 0, 0, nullptr), fake.calls.back());

    PdLdList ll;
    memset(&ll, 0xEE, sizeof ll);
    EXPECT_EQ(1, iGetVdNo(0, 4, &ll, 2, tErrInfo));
    EXPECT_EQ(Expected(2, 16, 0, 4, 0, 0, 68, &ll), fake.calls.back());
    EXPECT_TRUE(AllBytes(ll, 0xEE));

    EXPECT_EQ(1, iSetState(1, 6, 0x111, 42, 2, tErrInfo)); // state: low 8 bits
    EXPECT_EQ(Expected(2, 19, 1, 6, 42, 0x11, 0, nullptr), fake.calls.back());

    LdInfo li;
    memset(&li, 0xEE, sizeof li);
    EXPECT_EQ(1, iGetLdInfo(0, 300, &li, 2, tErrInfo)); // LD 300: byte 10 = 44, byte 11 = 0
    EXPECT_EQ(Expected(3, 0, 0, 0, 44, 0, 384, &li), fake.calls.back());
    EXPECT_TRUE(AllBytes(li, 0));

    EventLogInfo ei;
    memset(&ei, 0xEE, sizeof ei);
    EXPECT_EQ(1, iGetEventSquenceInfo(2, &ei, 2, tErrInfo));
    EXPECT_EQ(Expected(7, 0, 2, 0, 0, 0, 20, &ei), fake.calls.back());
    EXPECT_TRUE(AllBytes(ei, 0xEE));

    EXPECT_EQ(11u, fake.calls.size());
    EXPECT_EQ(0, tErrInfo[0]);
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);
}

TEST_F(StoreCmdTest, EventListOverwritesItsFieldsWithoutClearingTheBlock) {
    // A previous command leaves its device id and reference; the event-list read
    // overwrites bytes 8-11 with startSeq and must not touch anything else.
    EXPECT_EQ(1, iSetState(1, 6, 1, 42, 2, tErrInfo));
    std::vector<uint8_t> block(8 + 256 * 3, 0xCC);
    fake.statuses = {35};
    EXPECT_EQ(0, iGetEventList(3, 3, 0xA1B2C3D4u, block.data(), static_cast<int>(block.size()),
                               tErrInfo));
    Block want = Expected(7, 1, 3, 0xC3D4, 0xA1B2, 0xFFFF, 8 + 256 * 3, block.data());
    EXPECT_EQ(want, fake.calls.back());
    EXPECT_EQ(35, tErrInfo[0]);
    uint32_t wanted;
    memcpy(&wanted, block.data(), 4);
    EXPECT_EQ(3u, wanted);            // the number of events asked for
    EXPECT_EQ(0xCC, block[8]);        // records untouched
    EXPECT_EQ(2u, fake.calls.size()); // a single attempt
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);
}

TEST_F(StoreCmdTest, FailingCommandsMakeTwoAttemptsWithFiveOrThreeSecondWaitsAfterEach) {
    fake.otherwise = 7;
    PdInfo pi;
    EXPECT_EQ(0, iGetPhysicalInfo(0, 1, &pi, 2, tErrInfo));
    EXPECT_EQ(2u, fake.calls.size());
    EXPECT_EQ(10u, kestrun_shim_sleep_calls);
    EXPECT_EQ(10u, kestrun_shim_sleep_seconds); // one-second steps only
    EXPECT_EQ(7, tErrInfo[0]);

    kestrun_shim_reset();
    fake.calls.clear();
    SpareInfo si;
    EXPECT_EQ(0, iGetDHotInfo(0, 1, &si, 2, tErrInfo));
    EXPECT_EQ(2u, fake.calls.size());
    EXPECT_EQ(6u, kestrun_shim_sleep_calls);

    // Success on the second attempt: one wait, result 1, status 0.
    kestrun_shim_reset();
    fake.calls.clear();
    fake.statuses = {9};
    fake.otherwise = 0;
    EXPECT_EQ(1, iSetState(0, 1, 17, 3, 2, tErrInfo));
    EXPECT_EQ(2u, fake.calls.size());
    EXPECT_EQ(5u, kestrun_shim_sleep_calls);
    EXPECT_EQ(0, tErrInfo[0]);
}

TEST_F(StoreCmdTest, NoAttemptsLeavesTheStatusCellButStillClearsTheReply) {
    PdInfo pi;
    memset(&pi, 0xEE, sizeof pi);
    EXPECT_EQ(0, iGetPhysicalInfo(0, 1, &pi, 0, tErrInfo));
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(-12345, tErrInfo[0]);
    EXPECT_TRUE(AllBytes(pi, 0));
    // Without a loaded library no command goes anywhere and none succeeds.
    ProcessLibCommandF = nullptr;
    EXPECT_EQ(0, iGetPhysicalInfo(0, 1, &pi, 2, tErrInfo));
    uint8_t list[64] = {};
    EXPECT_EQ(0, iGetEventList(0, 1, 0, list, sizeof list, tErrInfo));
    EXPECT_EQ(-12345, tErrInfo[0]);
}

TEST_F(StoreCmdTest, StopFlagEndsTheWaitAndTheAttemptsExceptForLdInfo) {
    fake.otherwise = 7;
    g_iSignalRecv = 1;
    PdInfo pi;
    EXPECT_EQ(0, iGetPhysicalInfo(0, 1, &pi, 2, tErrInfo));
    EXPECT_EQ(1u, fake.calls.size());
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);

    fake.calls.clear();
    LdInfo li;
    EXPECT_EQ(0, iGetLdInfo(0, 1, &li, 2, tErrInfo));
    EXPECT_EQ(2u, fake.calls.size()); // keeps attempting, without waiting
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);

    // A stop arriving with the failed call: the wait ends before its first
    // sleep and no further attempt is made.
    g_iSignalRecv = 0;
    fake.calls.clear();
    fake.onCall = [](CmdParam *) { g_iSignalRecv = 1; };
    EXPECT_EQ(0, iSetState(0, 1, 17, 3, 2, tErrInfo));
    EXPECT_EQ(1u, fake.calls.size());
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);
}

TEST_F(StoreCmdTest, RebuildCancelStatus50EndsAtOnce) {
    fake.otherwise = 50;
    EXPECT_EQ(0, iRebuildCancel(0, 1, 2, 2, tErrInfo));
    EXPECT_EQ(1u, fake.calls.size());
    EXPECT_EQ(0u, kestrun_shim_sleep_calls);
    EXPECT_EQ(50, tErrInfo[0]);

    // Status 50 from another command is an ordinary failure.
    fake.calls.clear();
    EXPECT_EQ(0, iRemoveHotSpare(0, 1, 2, 2, tErrInfo));
    EXPECT_EQ(2u, fake.calls.size());
    EXPECT_EQ(10u, kestrun_shim_sleep_calls);
}

TEST_F(StoreCmdTest, ControllerSearchSetsTheCountOnlyOnSuccess) {
    giCtrlCnt = 99;
    fake.onCall = [](CmdParam *p) {
        uint16_t n = 0xFFFE; // zero-extended, not sign-extended
        memcpy(p->dataBuffer, &n, 2);
    };
    EXPECT_EQ(1, iControllerSearch(&tCtrlList, 2, tErrInfo));
    EXPECT_EQ(0xFFFE, giCtrlCnt);

    fake.onCall = [](CmdParam *p) { memset(p->dataBuffer, 0, 68); };
    EXPECT_EQ(1, iControllerSearch(&tCtrlList, 2, tErrInfo));
    EXPECT_EQ(0, giCtrlCnt);

    giCtrlCnt = 3;
    fake.otherwise = 4;
    fake.onCall = nullptr;
    EXPECT_EQ(0, iControllerSearch(&tCtrlList, 2, tErrInfo));
    EXPECT_EQ(3, giCtrlCnt);
    EXPECT_EQ(4, tErrInfo[0]);
}

} // namespace
