// One whole run of the monitoring cycle (controller check, register,
// both scans, removal, stop and unload) over arbitrary controller replies.
// The library answers every command from the fuzzer's bytes; the stop flag is
// raised at a command the fuzzer picks, or when the bytes run out.
// Invariants: every command block is well formed, no command reaches the
// library after it was unloaded, and drive states are changed only for device
// ids a reply of the same cycle named, and never in observe mode. The metrics
// file is written when the fuzzer switches it on.
#include "fuzz_support.h"

#include "config/settings.h"
#include "core/cycle.h"
#include "process/process.h"
#include "detect/event_scan.h"
#include "detect/tables.h"
#include "storage/StoreCmd.h"
#include "storage/loader.h"

#include <climits>
#include <dlfcn.h>
#include <set>
#include <unistd.h>
#include <utility>

namespace {

fz::Bytes *g_in = nullptr;
unsigned g_calls = 0;
unsigned g_stopAt = 0;
int g_cycles = 0;
int g_maxCycles = 0;
std::set<std::pair<uint32_t, uint16_t>> g_named; // drives named by replies this cycle

constexpr unsigned MAX_CALLS = 20000;

void vStop() {
    g_iSignalRecv = 1;
}

uint16_t uDevice() {
    uint8_t b = g_in->u8();
    return (b & 0xC0) == 0xC0 ? g_in->u16() : static_cast<uint16_t>(b % 10);
}

uint32_t uCount(uint32_t small) {
    uint8_t b = g_in->u8();
    return b >= 0xF0 ? g_in->u32() : b % small;
}

void vFillText(char *text, size_t size) {
    uint8_t b = g_in->u8();
    if (b % 3 == 0)
        memset(text, 'D', size); // no terminator at all
    else if (b % 3 == 1)
        g_in->take(text, size);
    else
        snprintf(text, size, "%s", b & 0x80 ? "FUZZ" : "OTHER");
}

// Expected reply length per command; -1: unknown command.
long lReplyLength(const CmdParam &c) {
    switch (c.category << 8 | c.opcode) {
    case 0x000:
        return sizeof(CtrlList);
    case 0x100:
        return sizeof(CtrlInfo);
    case 0x104:
        return sizeof(PdList);
    case 0x200:
        return sizeof(PdInfo);
    case 0x20C:
        return sizeof(SpareInfo);
    case 0x210:
        return sizeof(PdLdList);
    case 0x300:
        return sizeof(LdInfo);
    case 0x700:
        return sizeof(EventLogInfo);
    case 0x206:
    case 0x20D:
    case 0x213:
        return 0;
    case 0x701: {
        FZ_CHECK(c.dataBuffer != nullptr && c.argument == 0xFFFF);
        uint32_t n = *static_cast<uint32_t *>(c.dataBuffer);
        FZ_CHECK(n >= 1 && n <= EVENT_BATCH_MAX);
        return EVENTLIST_HEADER + static_cast<long>(EVENTDETAIL_SIZE) * n;
    }
    default:
        return -1;
    }
}

void vCheckBlock(const CmdParam &c) {
    static const uint8_t zero[8] = {};
    FZ_CHECK(memcmp(c.reserved0, zero, sizeof c.reserved0) == 0);
    FZ_CHECK(memcmp(c.reserved1, zero, sizeof c.reserved1) == 0);
    FZ_CHECK(memcmp(c.reserved2, zero, sizeof c.reserved2) == 0);
    long length = lReplyLength(c);
    FZ_CHECK(length >= 0 && c.dataLength == static_cast<uint32_t>(length));
    FZ_CHECK((c.dataBuffer == nullptr) == (length == 0));
    if (c.category != 0)
        FZ_CHECK(c.controllerId < static_cast<uint32_t>(giCtrlCnt));
    if (c.category == 1 && c.opcode == 0)
        FZ_CHECK(c.controllerId < TABLE_CONTROLLERS);
    bool change = c.category == 2 && (c.opcode == 6 || c.opcode == 13 || c.opcode == 19);
    if (change) {
        FZ_CHECK(g_iActionMode != ACTION_OBSERVE); // observing changes nothing
        FZ_CHECK(g_named.count({c.controllerId, c.u.pd.deviceId}) == 1);
    }
    if (c.category == 2 && c.opcode == 19)
        FZ_CHECK(c.argument == PD_STATE_UNCONFIGURED_BAD || c.argument == PD_STATE_FAILED);
}

void vAnswer(CmdParam &c, uint8_t pick) {
    if (pick & 0x40) { // raw bytes over the whole reply
        if (c.dataBuffer != nullptr)
            g_in->take(c.dataBuffer, c.dataLength);
        if (c.category == 1 && c.opcode == 4) {
            auto *list = static_cast<PdList *>(c.dataBuffer);
            uint32_t n = list->pdCount < PDLIST_MAX ? list->pdCount : PDLIST_MAX;
            for (uint32_t j = 0; j < n; j++)
                g_named.insert({c.controllerId, list->entry[j].deviceId});
        }
        return;
    }
    static const uint16_t states[] = {PD_STATE_UNCONFIGURED_GOOD, PD_STATE_UNCONFIGURED_BAD,
                                      PD_STATE_HOT_SPARE,         PD_STATE_FAILED,
                                      PD_STATE_REBUILD,           PD_STATE_ONLINE};
    switch (c.category << 8 | c.opcode) {
    case 0x000:
        static_cast<CtrlList *>(c.dataBuffer)->ctrlCount = static_cast<uint16_t>(uCount(5));
        break;
    case 0x100:
        vFillText(static_cast<CtrlInfo *>(c.dataBuffer)->productName,
                  sizeof(CtrlInfo::productName));
        break;
    case 0x104: {
        auto *list = static_cast<PdList *>(c.dataBuffer);
        list->pdCount = uCount(6);
        uint32_t n = list->pdCount < PDLIST_MAX ? list->pdCount : PDLIST_MAX;
        for (uint32_t j = 0; j < n && j < 12; j++) {
            list->entry[j].deviceId = uDevice();
            g_named.insert({c.controllerId, list->entry[j].deviceId});
        }
        for (uint32_t j = 12; j < n; j++)
            g_named.insert({c.controllerId, 0});
        break;
    }
    case 0x200: {
        auto *info = static_cast<PdInfo *>(c.dataBuffer);
        uint8_t b = g_in->u8();
        info->sequenceNumber = b;
        info->deviceType = (b & 7) == 7 ? 1 : 0;
        info->mediaType = b >> 6;
        info->predictiveFailureCount = (b & 0x18) == 0x18 ? 1 : 0;
        info->mediaErrorCount = g_in->u8();
        uint8_t s = g_in->u8();
        info->firmwareState = s < 0xF0 ? states[s % 6] : s;
        break;
    }
    case 0x20C: {
        auto *spare = static_cast<SpareInfo *>(c.dataBuffer);
        spare->arrayCount = g_in->u8();
        for (auto &a : spare->arrayNumbers)
            a = g_in->u8();
        break;
    }
    case 0x210: {
        auto *lds = static_cast<PdLdList *>(c.dataBuffer);
        lds->ldCount = uCount(3);
        for (int i = 0; i < 4; i++)
            lds->ldNumbers[i] = g_in->u8();
        break;
    }
    case 0x300: {
        static const uint8_t levels[] = {0, 1, 5, 6, 10, 0xFF};
        auto *ld = static_cast<LdInfo *>(c.dataBuffer);
        uint8_t b = g_in->u8();
        ld->raidLevel = levels[b % 6];
        ld->ldState = (b >> 4) & 3;
        break;
    }
    case 0x700:
        static_cast<EventLogInfo *>(c.dataBuffer)->newestSeq = uCount(40);
        break;
    case 0x701: {
        static const uint16_t codes[] = {112, 113, 267, 268, 1};
        uint32_t n = *static_cast<uint32_t *>(c.dataBuffer);
        uint32_t count = uCount(n + 2);
        static_cast<EventListHeader *>(c.dataBuffer)->eventCount = count;
        for (uint32_t k = 0; k < count && k < n; k++) {
            EventDetail *r = pEventRecord(c.dataBuffer, static_cast<int>(k));
            uint8_t b = g_in->u8();
            r->seqNum = c.u.startSeq + (b & 0x0F) - (b & 0x10 ? 3 : 0);
            r->timeStamp = b & 0x20 ? 0xFFFFFFFFu : g_in->u8();
            r->eventCode = codes[(b >> 6) % 5 + (b & 1)];
            r->pdDeviceId = uDevice();
            r->senseKey = g_in->u8();
            vFillText(r->description, sizeof r->description);
            g_named.insert({c.controllerId, r->pdDeviceId});
        }
        break;
    }
    default:
        break;
    }
}

int iFakeEntry(void *p) {
    FZ_CHECK(hLib != nullptr); // never called once the library is unloaded
    auto &c = *static_cast<CmdParam *>(p);
    vCheckBlock(c);
    if (++g_calls == g_stopAt || g_calls >= MAX_CALLS)
        vStop();
    if (g_in->empty()) {
        vStop();
        return 1;
    }
    uint8_t pick = g_in->u8();
    if (pick >= 0xF0) {
        static const int statuses[] = {
            1, 2, 3, LIB_STATUS_EVENT_NONE, LIB_STATUS_REBUILD_CANCEL_END, 4, 255, 16};
        return statuses[pick & 7];
    }
    vAnswer(c, pick);
    return 0;
}

// Cycle boundaries are seen through message 1010, logged at each cycle's start.
void vCycleMark(const char *text) {
    if (strncmp(text, "<1010:", 6) != 0)
        return;
    g_named.clear();
    if (++g_cycles > g_maxCycles)
        vStop();
}

void *g_fakeLib = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::moduleDir();
    g_fakeLib = dlopen(KESTRUN_FUZZ_LIB, RTLD_NOW);
    if (g_fakeLib == nullptr)
        fz::fail(dlerror());
    auto **entry = static_cast<int (**)(void *)>(dlsym(g_fakeLib, "kestrun_fuzz_entry"));
    if (entry == nullptr)
        fz::fail("no kestrun_fuzz_entry");
    *entry = iFakeEntry;
    fz::onSyslog = vCycleMark;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::clearModuleDir();
    std::string lib = fz::moduleDir() + "/" + DEFAULT_LIB_NAME;
    if (symlink(KESTRUN_FUZZ_LIB, lib.c_str()) != 0)
        return 0;
    fz::Bytes in(data, size);
    g_in = &in;
    g_calls = 0;
    g_cycles = 0;
    g_named.clear();
    g_iSignalRecv = 0;

    vSettingsDefault();
    snprintf(g_cLibFileName, sizeof g_cLibFileName, "%s", DEFAULT_LIB_NAME);
    uint8_t modes = in.u8();
    g_stopAt = in.u16();
    g_maxCycles = 1 + (modes >> 6);
    g_iSmartMode = modes & 1;
    g_iAErrorMode = (modes >> 1) & 1;
    g_iMErrMode = (modes >> 2) & 1;
    g_iThresholdMode = (modes >> 3) & 1;
    g_iPreServLogSwitch = (modes >> 4) & 1;
    g_iPollEvent = 1;
    g_iLWaitTime = 1000;
    g_iThresholdTime = in.u8();
    g_iMcTblDiff = static_cast<int8_t>(in.u8());
    g_iAErrorCntHDD = 1 + in.u8() % 4;
    g_iAErrorCntSSD = 1 + in.u8() % 4;
    uint8_t extra = in.u8();
    g_iHistoryCnt = 1 + extra % 3;
    g_iActionMode = (modes >> 5) & 1 ? ACTION_OBSERVE : ACTION_REMOVE;
    memset(g_cMetricsFile, 0, sizeof g_cMetricsFile);
    static char cwd[PATH_MAX];
    if ((extra & 0x80) && (cwd[0] != '\0' || getcwd(cwd, sizeof cwd) != nullptr))
        snprintf(g_cMetricsFile, sizeof g_cMetricsFile, "%s/%s/kestrun.prom", cwd,
                 fz::moduleDir().c_str()); // the metrics file wants an absolute path
    g_iAErrorCnt = 1;
    memset(g_cAErrSenseKey, 0, sizeof g_cAErrSenseKey);
    g_iMBoardCnt = 1;
    snprintf(g_cMBoardName[0], sizeof g_cMBoardName[0], "FUZZ");

    vMainProc();
    vend_test(); // what exit() does after an early end of monitoring
    FZ_CHECK(hLib == nullptr && tPhysList == nullptr);
    FZ_CHECK(g_ulSeqNo == nullptr);
    g_in = nullptr;
    return 0;
}
