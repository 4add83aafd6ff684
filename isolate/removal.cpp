#include "isolate/removal.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "isolate/drive_location.h"
#include "isolate/member_guard.h"
#include "isolate/observe.h"
#include "process/process.h"
#include "isolate/register_drive.h"
#include "log/messages.h"
#include "metrics/metrics.h"
#include "service/notify.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

int g_iRemovedCnt = 0;

namespace {

bool bReadDrive(int controller, int deviceId, const char *name) {
    if (iGetPhysicalInfo(controller, deviceId, &tPhysInfo, 2, tErrInfo) == 1) {
        vDriveNoted(controller, deviceId);
        return true;
    }
    vLogID5007_Output(name, tErrInfo[0]);
    return false;
}

// Once a drive's state has changed, the rest of its removal (register line,
// pause, recheck) runs as it would without a stop request: a stop never leaves
// a drive half removed.
struct RemovalCommit {
    RemovalCommit() {
        g_iRetryThroughStop++;
    }
    ~RemovalCommit() {
        g_iRetryThroughStop--;
    }
    RemovalCommit(const RemovalCommit &) = delete;
    RemovalCommit &operator=(const RemovalCommit &) = delete;
};

void vRemovalFailed(int controller, int deviceId, int reason) {
    vMetricsRemovalFailed(eMetricsReason(reason));
    if (reason == DETECT_MEDIUM)
        vLogID4801_Output(deviceId);
    else
        vLogID4501_Output(deviceId);
    vDriveLocationLine(controller, deviceId);
}

} // namespace

MetricsReason eMetricsReason(int reason) {
    return reason == DETECT_SMART    ? METRICS_SMART
           : reason == DETECT_MEDIUM ? METRICS_MEDIUM
                                     : METRICS_AERROR;
}

// Counts above the record's room (16 drive groups) are clipped to it.
void vSpareText(char *out, size_t size, int deviceId, bool dedicated, const SpareInfo &spare) {
    int pd = static_cast<int16_t>(deviceId);
    if (!dedicated) {
        snprintf(out, size, "Global HotSpare.(PD:%d) Global HotSpare has been removed", pd);
        return;
    }
    char groups[256] = "";
    size_t used = 0;
    int count = spare.arrayCount < SPARE_ARRAYS_MAX ? spare.arrayCount : SPARE_ARRAYS_MAX;
    for (int i = 0; i < count && used < sizeof groups; i++) {
        int n = snprintf(groups + used, sizeof groups - used, i + 1 < count ? "%d," : "%d",
                         spare.arrayNumbers[i]);
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
    snprintf(out, size, "Dedicated HotSpare.(PD:%d DG:%s) Dedicated HotSpare has been removed", pd,
             groups);
}

// Every logical drive of the member must read and be able to lose it: the
// removal's own check, warning included, so that observe mode reports what the
// removal would do. `lds` receives the member's list.
bool bMemberRemovable(int controller, int deviceId, PdLdList *lds) {
    if (iGetVdNo(controller, deviceId, lds, 2, tErrInfo) != 1)
        return false;
    return lds->ldCount > 0 && bEveryLdCanLoseMember(controller, deviceId, *lds);
}

int iDisConnectHdd(int controller, int deviceId, int reason) {
    // Every message raised from here on is about this drive.
    AlertDriveScope scope(controller, deviceId, kMetricsReasonNames[eMetricsReason(reason)]);
    if (g_iActionMode == ACTION_OBSERVE)
        return iObserveDrive(controller, deviceId, reason);
    if (!bReadDrive(controller, deviceId, "iDisConnectHdd"))
        return 1;
    switch (tPhysInfo.firmwareState) {
    case PD_STATE_HOT_SPARE:
        iDelHotSpare(controller, deviceId, reason);
        break;
    case PD_STATE_REBUILD:
        iDelHdd(controller, deviceId, reason);
        break;
    case PD_STATE_ONLINE: {
        PdLdList lds{};
        if (!bMemberRemovable(controller, deviceId, &lds))
            break;
        // A drive whose state has changed is not removed again for its next
        // logical drive: that second attempt on a failed drive could only
        // fail and report a removal that succeeded as failed. Once stopping,
        // one pass through iDelHdd is the removal to finish. (The member
        // check has refused a count above the record's room of 64.)
        for (uint32_t i = 0; i < lds.ldCount && i < PDLDLIST_MAX; i++) {
            LdInfo ld{};
            if (iGetLdInfo(controller, lds.ldNumbers[i], &ld, 2, tErrInfo) != 1)
                continue;
            if (!bRedundant(ld))
                continue;
            bool changed = false;
            iDelHddChanged(controller, deviceId, reason, &changed);
            if (changed || g_iSignalRecv == 1)
                break;
        }
        break;
    }
    default:
        break;
    }
    return 1;
}

int iDelHotSpare(int controller, int deviceId, int reason) {
    if (!bReadDrive(controller, deviceId, "iDelHotSpare"))
        return 0;
    if (tPhysInfo.firmwareState != PD_STATE_HOT_SPARE)
        return 1;
    SpareInfo spare{};
    bool dedicated = iGetDHotInfo(controller, deviceId, &spare, 2, tErrInfo) == 1;
    DriveMark mark;
    iRegisterDrive(controller, deviceId, kMetricsReasonNames[eMetricsReason(reason)], &mark);
    if (iRemoveHotSpare(controller, deviceId, tPhysInfo.sequenceNumber, 2, tErrInfo) != 1) {
        vRegisterDriveTakeBack(mark);
        vMetricsRemovalFailed(eMetricsReason(reason));
        if (reason == DETECT_MEDIUM)
            vLogID4801_Output(deviceId);
        else
            vLogID4001_Output(deviceId);
        vDriveLocationLine(controller, deviceId);
        return 0;
    }
    RemovalCommit commit;
    if (!bReadDrive(controller, deviceId, "iDelHotSpare"))
        return 0;
    if (iSetState(controller, deviceId, PD_STATE_UNCONFIGURED_BAD, tPhysInfo.sequenceNumber, 2,
                  tErrInfo) != 1) {
        vMetricsRemovalFailed(eMetricsReason(reason));
        vLogID4101_Output(deviceId);
        vDriveLocationLine(controller, deviceId);
        return 0;
    }
    vMetricsRemoval(eMetricsReason(reason), METRICS_SPARE);
    g_iRemovedCnt++;
    char text[512];
    vSpareText(text, sizeof text, deviceId, dedicated, spare);
    if (reason == DETECT_SMART)
        vLogID4000_Output(text);
    else if (reason == DETECT_AERROR)
        vLogID4700_Output(text);
    else if (reason == DETECT_MEDIUM)
        vLogID4800_Output(deviceId);
    else
        return 1;
    vDriveLocationLine(controller, deviceId);
    return 1;
}

int iDelHdd(int controller, int deviceId, int reason) {
    bool changed = false;
    return iDelHddChanged(controller, deviceId, reason, &changed);
}

int iDelHddChanged(int controller, int deviceId, int reason, bool *changed) {
    if (!bReadDrive(controller, deviceId, "iDelHdd"))
        return 0;
    int firstState = tPhysInfo.firmwareState;
    MetricsRole role = firstState == PD_STATE_REBUILD ? METRICS_REBUILDING : METRICS_MEMBER;
    DriveMark mark;
    iRegisterDrive(controller, deviceId, kMetricsReasonNames[eMetricsReason(reason)], &mark);
    if (iSetState(controller, deviceId, PD_STATE_FAILED, tPhysInfo.sequenceNumber, 2, tErrInfo) ==
        1) {
        RemovalCommit commit;
        *changed = true;
        g_iRemovedCnt++;
        // The whole pause, even when a signal ends a sleep early; pinged
        // through every second of it like every other wait.
        vNotifyAliveSleep(REMOVAL_SETTLE_SECONDS);
        int done = iHddRecheck(controller, deviceId, reason);
        if (done == 1)
            vMetricsRemoval(eMetricsReason(reason), role);
        return done;
    }
    if (firstState == PD_STATE_REBUILD) {
        if (!bReadDrive(controller, deviceId, "iDelHdd")) {
            vRegisterDriveTakeBack(mark);
            return 0;
        }
        if (iRebuildCancel(controller, deviceId, tPhysInfo.sequenceNumber, 2, tErrInfo) == 1) {
            RemovalCommit commit;
            *changed = true;
            g_iRemovedCnt++;
            int done = iHddRecheck(controller, deviceId, reason);
            if (done == 1)
                vMetricsRemoval(eMetricsReason(reason), role);
            return done;
        }
    }
    vRegisterDriveTakeBack(mark);
    vRemovalFailed(controller, deviceId, reason);
    return 0;
}

int iHddRecheck(int controller, int deviceId, int reason) {
    if (!bReadDrive(controller, deviceId, "iHddRecheck"))
        return 0;
    if (tPhysInfo.firmwareState == PD_STATE_UNCONFIGURED_GOOD &&
        iSetState(controller, deviceId, PD_STATE_UNCONFIGURED_BAD, tPhysInfo.sequenceNumber, 2,
                  tErrInfo) != 1) {
        vMetricsRemovalFailed(eMetricsReason(reason));
        vLogID4101_Output(deviceId);
        vDriveLocationLine(controller, deviceId);
        return 0;
    }
    if (reason == DETECT_SMART)
        vLogID4502_Output(deviceId);
    else if (reason == DETECT_AERROR)
        vLogID4500_Output(deviceId);
    else if (reason == DETECT_MEDIUM)
        vLogID4800_Output(deviceId);
    else
        return 1;
    vDriveLocationLine(controller, deviceId);
    return 1;
}
