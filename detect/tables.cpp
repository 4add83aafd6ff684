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

void vZeroDirtyPages(void *p, size_t size) {
    // Static storage starts out zero; reading an untouched page maps the shared
    // zero page, while writing it would take a private page of resident memory.
    constexpr size_t CHUNK = 4096;
    unsigned char *bytes = static_cast<unsigned char *>(p);
    static const unsigned char zeros[CHUNK] = {};
    for (size_t off = 0; off < size; off += CHUNK) {
        size_t len = size - off < CHUNK ? size - off : CHUNK;
        if (memcmp(bytes + off, zeros, len) != 0)
            memset(bytes + off, 0, len);
    }
}

void vTablesClear() {
    vZeroDirtyPages(MegaRaidMErr, sizeof MegaRaidMErr);
    vZeroDirtyPages(MegaRaid, sizeof MegaRaid);
}
