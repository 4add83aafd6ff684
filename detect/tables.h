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
    // Lets the history writer skip pruning passes. Beside the count, so that a
    // drive's first events bring one page of the table into memory, not two.
    HistoryMemo history;
    uint64_t eventTimes[RING_SIZE];
};

extern MErrController MegaRaidMErr[TABLE_CONTROLLERS];
extern AErrCounter MegaRaid[TABLE_CONTROLLERS][AERR_DRIVES];
extern unsigned long *g_ulSeqNo;

// A sequence-table entry holds the next position to read, a 32-bit sequence
// number, with this bit set; 0 means nothing has been read yet. The bit keeps
// position 0 (reached when the sequence numbers wrap) apart from "unread".
constexpr unsigned long SEQ_HELD = 1UL << 32;

// Slot lookups: null when the controller or device id has no slot.
MErrController *pMErrController(int controller);
MErrCounter *pMErrCounter(int controller, int deviceId);
AErrCounter *pAErrCounter(int controller, int deviceId);

// Sets every byte of both static tables to zero. Both are zero when the
// process starts, so the first call writes nothing and leaves their pages
// unmapped.
void vTablesClear();
