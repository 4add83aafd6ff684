#include "detect/tables.h"

#include <cstring>

MErrController MegaRaidMErr[TABLE_CONTROLLERS];
AErrCounter MegaRaid[TABLE_CONTROLLERS][AERR_DRIVES];
unsigned long *g_ulSeqNo = nullptr;

MErrController *pMErrController(int controller) {
    if (controller < 0 || controller >= TABLE_CONTROLLERS)
        return nullptr;
    return &MegaRaidMErr[controller];
}

MErrCounter *pMErrCounter(int controller, int deviceId) {
    MErrController *c = pMErrController(controller);
    if (c == nullptr || deviceId < 0 || deviceId >= MERR_DRIVES)
        return nullptr;
    return &c->drives[deviceId];
}

AErrCounter *pAErrCounter(int controller, int deviceId) {
    if (controller < 0 || controller >= TABLE_CONTROLLERS || deviceId < 0 ||
        deviceId >= AERR_DRIVES)
        return nullptr;
    return &MegaRaid[controller][deviceId];
}

// Static storage is zero when the process starts, and a page of it never
// written stays out of memory. Even comparing a page before clearing it can
// make it resident (a read fault takes a private page on some kernels), so the
// first run clears nothing; a later run in the same process clears it all.
void vTablesClear() {
    static bool s_used = false;
    if (s_used) {
        memset(MegaRaidMErr, 0, sizeof MegaRaidMErr);
        memset(MegaRaid, 0, sizeof MegaRaid);
    }
    s_used = true;
}
