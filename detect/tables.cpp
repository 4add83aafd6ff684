#include "detect/tables.h"

#include "log/messages.h"
#include "metrics/metrics.h"

#include <cstring>
#include <set>

MErrController MegaRaidMErr[TABLE_CONTROLLERS];
AErrCounter MegaRaid[TABLE_CONTROLLERS][TABLE_SLOTS];
unsigned long *g_ulSeqNo = nullptr;

namespace {

// Which drive holds which slot of a controller. A drive keeps its slot for the
// run, also while it is away from the drive list, so a drive that comes back
// goes on with its own samples and count. Only when a drive needs a slot and
// none is free does it take the slot of the drive seen longest ago (never one
// seen in the current cycle); that slot is emptied first, so the new drive
// starts afresh and the one that lost it starts afresh should it come back.
struct SlotDirectory {
    uint16_t device[TABLE_SLOTS];            // device id + 1 of the slot's drive; 0: free
    unsigned long long lastSeen[TABLE_SLOTS]; // cycle the drive was last listed or had an event
    uint16_t slotOf[TABLE_NO_DEVICE];        // slot + 1 of each device id; 0: none
};
SlotDirectory s_dir[TABLE_CONTROLLERS];
unsigned long long s_cycle = 0;

// Drives reported as not watched in this run, by controller, device id and
// mode. Bounded: beyond it further drives are neither reported nor counted.
constexpr size_t UNCOVERED_NAMED_MAX = 4096;
std::set<unsigned long long> s_uncovered;

unsigned long long ullUncoveredKey(int controller, int deviceId, bool aerror) {
    return (static_cast<unsigned long long>(controller) << 17) |
           (static_cast<unsigned long long>(deviceId) << 1) | (aerror ? 1u : 0u);
}

void vUncovered(int controller, int deviceId, bool aerror) {
    if (s_uncovered.size() >= UNCOVERED_NAMED_MAX)
        return;
    try {
        if (!s_uncovered.insert(ullUncoveredKey(controller, deviceId, aerror)).second)
            return;
    } catch (...) {
        return; // no memory: the drive may be reported at its next miss
    }
    bool beyond = controller >= TABLE_CONTROLLERS;
    vLogID6600_Output(controller, deviceId, aerror ? "AERROR" : "MEDIUM", beyond,
                      beyond ? TABLE_CONTROLLERS : TABLE_SLOTS);
    vMetricsUncovered(aerror ? METRICS_AERROR : METRICS_MEDIUM);
}

void vSlotClear(int controller, int slot) {
    memset(&MegaRaidMErr[controller].drives[slot], 0, sizeof(MErrCounter));
    memset(&MegaRaid[controller][slot], 0, sizeof(AErrCounter));
}

// A slot for a drive that has none: the slot of its own number when that is
// free, else the highest free one, else the one whose drive was seen longest
// ago. -1 when every slot's drive was seen in this cycle.
int iSlotTake(int controller, int deviceId) {
    SlotDirectory &dir = s_dir[controller];
    int slot = deviceId < TABLE_SLOTS && dir.device[deviceId] == 0 ? deviceId : -1;
    for (int s = TABLE_SLOTS - 1; slot < 0 && s >= 0; s--)
        if (dir.device[s] == 0)
            slot = s;
    if (slot < 0) {
        for (int s = 0; s < TABLE_SLOTS; s++)
            if (dir.lastSeen[s] < s_cycle && (slot < 0 || dir.lastSeen[s] < dir.lastSeen[slot]))
                slot = s;
        if (slot < 0)
            return -1;
        dir.slotOf[dir.device[slot] - 1] = 0;
        vSlotClear(controller, slot);
    }
    dir.device[slot] = static_cast<uint16_t>(deviceId + 1);
    dir.slotOf[deviceId] = static_cast<uint16_t>(slot + 1);
    return slot;
}

// A drive without a slot: gives it one, or reports it and returns -1. 0xFFFF
// is no drive: no slot, no report.
__attribute__((noinline)) int iSlotMiss(int controller, int deviceId, bool aerror) {
    if (controller < 0 || deviceId < 0 || deviceId >= TABLE_NO_DEVICE)
        return -1;
    int slot = controller < TABLE_CONTROLLERS ? iSlotTake(controller, deviceId) : -1;
    if (slot < 0) {
        vUncovered(controller, deviceId, aerror);
        return -1;
    }
    s_dir[controller].lastSeen[slot] = s_cycle;
    return slot;
}

// The drive's slot, given one if it has none; -1 when it cannot have one.
// Called for every drive sampled and every event counted.
inline int iSlotUse(int controller, int deviceId, bool aerror) {
    if (static_cast<unsigned>(controller) < TABLE_CONTROLLERS &&
        static_cast<unsigned>(deviceId) < TABLE_NO_DEVICE) {
        SlotDirectory &dir = s_dir[controller];
        int slot = dir.slotOf[deviceId] - 1;
        if (slot >= 0) {
            dir.lastSeen[slot] = s_cycle;
            return slot;
        }
    }
    return iSlotMiss(controller, deviceId, aerror);
}

} // namespace

MErrController *pMErrController(int controller) {
    if (controller < 0 || controller >= TABLE_CONTROLLERS)
        return nullptr;
    return &MegaRaidMErr[controller];
}

MErrCounter *pMErrCounter(int controller, int deviceId) {
    int slot = iSlotUse(controller, deviceId, false);
    return slot < 0 ? nullptr : &MegaRaidMErr[controller].drives[slot];
}

AErrCounter *pAErrCounter(int controller, int deviceId) {
    int slot = iSlotUse(controller, deviceId, true);
    return slot < 0 ? nullptr : &MegaRaid[controller][slot];
}

int iTableSlotFind(int controller, int deviceId) {
    if (controller < 0 || controller >= TABLE_CONTROLLERS || deviceId < 0 ||
        deviceId >= TABLE_NO_DEVICE)
        return -1;
    return s_dir[controller].slotOf[deviceId] - 1;
}

// A drive reported as not watched shows no count until it has a slot.
long long llTableEventCount(int controller, int deviceId) {
    int slot = iTableSlotFind(controller, deviceId);
    if (slot >= 0)
        return static_cast<long long>(MegaRaid[controller][slot].count);
    if (controller < 0 || controller >= TABLE_CONTROLLERS || deviceId < 0 ||
        deviceId >= TABLE_NO_DEVICE)
        return -1;
    bool reported = !s_uncovered.empty() &&
                    s_uncovered.count(ullUncoveredKey(controller, deviceId, true)) != 0;
    return reported ? -1 : 0;
}

void vTablesCycle() {
    s_cycle++;
}

void vTablesListed(int controller, const PdList *list, int count) {
    if (controller < 0 || controller >= TABLE_CONTROLLERS)
        return;
    SlotDirectory &dir = s_dir[controller];
    for (int j = 0; j < count && j < PDLIST_MAX; j++) {
        int id = list->entry[j].deviceId;
        if (id < TABLE_NO_DEVICE && dir.slotOf[id] != 0)
            dir.lastSeen[dir.slotOf[id] - 1] = s_cycle;
    }
}

// Static storage is zero when the process starts, and a page of it never
// written stays out of memory. Even comparing a page before clearing it can
// make it resident (a read fault takes a private page on some kernels), so the
// first run clears nothing; a later run in the same process clears the slots
// the earlier ones used (every slot ever written has a drive: a slot that
// changed hands was emptied then) and the per-controller fields.
void vTablesClear() {
    static bool s_used = false;
    if (s_used) {
        for (int c = 0; c < TABLE_CONTROLLERS; c++) {
            SlotDirectory &dir = s_dir[c];
            for (int s = 0; s < TABLE_SLOTS; s++) {
                if (dir.device[s] == 0)
                    continue;
                dir.slotOf[dir.device[s] - 1] = 0;
                dir.device[s] = 0;
                dir.lastSeen[s] = 0;
                vSlotClear(c, s);
            }
            memset(MegaRaidMErr[c].modelName, 0, sizeof MegaRaidMErr[c].modelName);
            MegaRaidMErr[c].enabled = 0;
        }
    }
    s_used = true;
    s_cycle = 0;
    s_uncovered.clear();
}
