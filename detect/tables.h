// Detection tables: media-error samples, event counts and read positions.
#pragma once

#include "log/history.h"
#include "storage/StoreCmd.h"

#include <cstddef>
#include <cstdint>

// The tables hold 16 controllers of 256 drive slots each, one slot for every
// entry a drive list can have. A drive gets its slot, in both tables, when it
// is first sampled or has its first event; device ids 0-255 take the slot of
// their own number when it is free, so a controller whose ids stay below 256
// keeps one fixed slot per drive. 0xFFFF names no drive and gets no slot.
// The SMART test, removal and the history files need no slot.
constexpr int TABLE_CONTROLLERS = 16;
constexpr int TABLE_SLOTS = 256;
constexpr int TABLE_NO_DEVICE = 0xFFFF;
constexpr int RING_SIZE = 1024;
constexpr uint64_t AERR_COUNT_MAX = 0x10000; // the event count stops here

// The counters come before the rings, so that a drive's first samples or
// events bring one page of its table into memory, not two.
struct MErrCounter {
    int ringIndex;
    int wrapped;
    int lastCount;
    uint32_t samples[RING_SIZE];
};

struct MErrController {
    MErrCounter drives[TABLE_SLOTS];
    char modelName[80];
    int enabled;
};

struct AErrCounter {
    uint64_t count;
    uint16_t ringIndex;
    // Lets the history writer skip pruning passes.
    HistoryMemo history;
    uint32_t eventTimes[RING_SIZE]; // event time stamps are 32-bit
};

extern MErrController MegaRaidMErr[TABLE_CONTROLLERS];
extern AErrCounter MegaRaid[TABLE_CONTROLLERS][TABLE_SLOTS];
extern unsigned long *g_ulSeqNo;

// A sequence-table entry holds the next position to read, a 32-bit sequence
// number, with this bit set; 0 means nothing has been read yet. The bit keeps
// position 0 (reached when the sequence numbers wrap) apart from "unread".
constexpr unsigned long SEQ_HELD = 1UL << 32;

// Null when the controller is beyond the table.
MErrController *pMErrController(int controller);

// The drive's counter, giving it a slot if it has none yet. Null when it
// cannot have one; a drive is then reported (message 6600, the metrics) once
// per run and mode.
MErrCounter *pMErrCounter(int controller, int deviceId);
AErrCounter *pAErrCounter(int controller, int deviceId);

// The drive's slot (0 to TABLE_SLOTS - 1) without giving it one: -1 when it
// has none.
int iTableSlotFind(int controller, int deviceId);

// The events counted for the drive (0 before its first one), or -1 when the
// event count cannot watch it.
long long llTableEventCount(int controller, int deviceId);

// Opens a monitoring cycle. A slot whose drive was listed or had an event in
// the current cycle is never given to another drive.
void vTablesCycle();

// The first `count` drives of a controller's drive list are present in this
// cycle.
void vTablesListed(int controller, const PdList *list, int count);

// Empties both static tables and the slot assignments. Both are zero when the
// process starts, so the first call writes nothing and leaves their pages
// unmapped; a later call clears only the slots that were used.
void vTablesClear();
