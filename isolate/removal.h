// Taking a condemned drive out of service according to its role.
#pragma once

#include "metrics/metrics.h"
#include "storage/StoreCmd.h"

#include <cstddef>

constexpr int DETECT_SMART = 0;
constexpr int DETECT_AERROR = 3;
constexpr int DETECT_MEDIUM = 4;

constexpr int REMOVAL_SETTLE_SECONDS = 5; // pause after setting a drive failed

// The metrics label of a detection mode.
MetricsReason eMetricsReason(int reason);

// Whether an online member may be taken out of its logical drives; `lds`
// receives its list of logical drives.
bool bMemberRemovable(int controller, int deviceId, PdLdList *lds);

// Drives whose state change succeeded in this run (the service status line).
extern int g_iRemovedCnt;

int iDisConnectHdd(int controller, int deviceId, int reason);
int iDelHotSpare(int controller, int deviceId, int reason);
int iDelHdd(int controller, int deviceId, int reason);
// iDelHdd that also tells whether the drive's state was changed (set failed
// or its rebuild cancelled), whatever the recheck found.
int iDelHddChanged(int controller, int deviceId, int reason, bool *changed);
int iHddRecheck(int controller, int deviceId, int reason);

// The description of a removed hot spare (messages 4000 and 4700).
void vSpareText(char *out, size_t size, int deviceId, bool dedicated, const SpareInfo &spare);
