// Detection tables: media-error samples, event counts and read positions.
#pragma once

#include "log/history.h"

#include <cstddef>
#include <cstdint>

// The tables hold 4 controllers, 8 media-error drive slots and 256 event-rate
// drive slots per controller, indexed by controller index and device id.
// Controllers and drives beyond them have no slot: they are left out of the
// media-error test and of event counting (the SMART test, removal and the
// history files need no slot and still apply to them).
constexpr int TABLE_CONTROLLERS = 4;
constexpr int MERR_DRIVES = 8;
constexpr int AERR_DRIVES = 256;
constexpr int RING_SIZE = 1024;
constexpr uint64_t AERR_COUNT_MAX = 0x10000; // the event count stops here

struct MErrCounter {
    uint32_t samples[RING_SIZE];
    int ringIndex;
    int wrapped;
    int lastCount;
};

struct MErrController {
    MErrCounter drives[MERR_DRIVES];
    char modelName[80];
    int enabled;
};

struct AErrCounter {
    uint64_t count;
    uint16_t ringIndex;
    uint64_t eventTimes[RING_SIZE];
    HistoryMemo history; // lets the history writer skip pruning passes
};

extern MErrController MegaRaidMErr[TABLE_CONTROLLERS];
extern AErrCounter MegaRaid[TABLE_CONTROLLERS][AERR_DRIVES];
extern unsigned long *g_ulSeqNo;

// Slot lookups: null when the controller or device id has no slot.
MErrController *pMErrController(int controller);
MErrCounter *pMErrCounter(int controller, int deviceId);
AErrCounter *pAErrCounter(int controller, int deviceId);

// Sets every byte of both static tables to zero without writing pages that are
// already zero, so a fresh process keeps its untouched pages unmapped.
void vTablesClear();

// Zeroes `size` bytes at `p`, writing only the pages that hold a nonzero byte.
void vZeroDirtyPages(void *p, size_t size);
