// Drive health scan: SMART test and media-error growth, once per cycle.
#pragma once

#include <cstdint>

// Drives listed by the last scan, over all controllers (the service status line).
extern int g_iPdWatchCnt;

void vSmartMErrChk();
int iMediumChk(int controller, int deviceId, uint8_t mediaType, uint32_t mediaErrorCount);

// The ring slot holding the base sample for a window of `window` cycles, given
// the slot the next sample goes to and whether the ring has wrapped.
int iMediumBaseSlot(int ringIndex, int wrapped, int window);
