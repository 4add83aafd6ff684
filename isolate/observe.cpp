// Kept beside the removal it stands in for, so that both read a drive the same
// way and the same drives are condemned: observe mode is for trying a setting
// on live servers before letting it act.
#include "isolate/observe.h"

#include "isolate/drive_location.h"
#include "isolate/removal.h"
#include "log/messages.h"
#include "metrics/metrics.h"
#include "storage/StoreCmd.h"

#include <set>
#include <utility>

namespace {

std::set<std::pair<int, int>> g_reported;

bool bReported(int controller, int deviceId) {
    return g_reported.count({controller, deviceId & 0xFFFF}) != 0;
}

} // namespace

int iObserveDrive(int controller, int deviceId, int reason) {
    // Once reported, the drive is not read again: the report stands for the run.
    if (bReported(controller, deviceId))
        return 1;
    if (iGetPhysicalInfo(controller, deviceId, &tPhysInfo, 2, tErrInfo) != 1) {
        vLogID5007_Output("iDisConnectHdd", tErrInfo[0]);
        return 1;
    }
    vDriveNoted(controller, deviceId);
    MetricsRole role;
    switch (tPhysInfo.firmwareState) {
    case PD_STATE_HOT_SPARE:
        role = METRICS_SPARE;
        break;
    case PD_STATE_REBUILD:
        role = METRICS_REBUILDING;
        break;
    case PD_STATE_ONLINE: {
        PdLdList lds{};
        if (!bMemberRemovable(controller, deviceId, &lds))
            return 1;
        role = METRICS_MEMBER;
        break;
    }
    default:
        return 1; // nothing the removal would do
    }
    try {
        g_reported.insert({controller, deviceId & 0xFFFF});
    } catch (...) {
        // No memory to remember it: it may be reported again next cycle.
    }
    MetricsReason mode = eMetricsReason(reason);
    vMetricsWouldRemove(mode, role);
    vLogID6401_Output(controller, deviceId, kMetricsReasonNames[mode], kMetricsRoleNames[role]);
    vDriveLocationLine(controller, deviceId, true);
    return 1;
}
