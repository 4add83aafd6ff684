// Failing a member of a redundant logical drive must not take another logical
// drive that shares the member offline: a RAID 0 (or a degraded array) would
// lose its data by our hand before the drive itself failed.
#include "isolate/member_guard.h"

#include "isolate/drive_location.h"
#include "log/messages.h"
#include "metrics/metrics.h"

#include <cstdint>

namespace {

// Drives already warned about in this run. The record is bounded: should it
// fill up, a further drive is warned about in every cycle rather than never.
struct KeptDrive {
    int controller;
    int deviceId;
};
constexpr int KEPT_MAX = 1024;
KeptDrive s_kept[KEPT_MAX];
int s_keptCount = 0;

// True the first time in this run a drive is reported as kept.
bool bFirstWarning(int controller, int deviceId) {
    for (int i = 0; i < s_keptCount; i++) {
        if (s_kept[i].controller == controller && s_kept[i].deviceId == deviceId)
            return false;
    }
    if (s_keptCount < KEPT_MAX)
        s_kept[s_keptCount++] = {controller, deviceId};
    return true;
}

} // namespace

bool bRedundant(const LdInfo &ld) {
    int level = ld.raidLevel;
    if ((level == 1 || level == 5 || level == 6 || level == 10) && ld.ldState == 3)
        return true;
    return level == 6 && ld.ldState == 1;
}

bool bEveryLdCanLoseMember(int controller, int deviceId, const PdLdList &lds) {
    int dev = static_cast<int>(static_cast<uint16_t>(deviceId));
    for (uint32_t i = 0; i < lds.ldCount && i < PDLDLIST_MAX; i++) {
        LdInfo ld{};
        bool read = iGetLdInfo(controller, lds.ldNumbers[i], &ld, 2, tErrInfo) == 1;
        if (read && bRedundant(ld))
            continue;
        if (bFirstWarning(controller, dev)) {
            vLogID6000_Output(controller, lds.ldNumbers[i], dev, !read);
            vDriveLocationLine(controller, dev);
        }
        vMetricsKept(controller, dev, true);
        return false;
    }
    // A logical drive beyond the 64 the reply can list cannot be judged: it
    // may be one that cannot lose the member, so the member stays. It is
    // named as LD -1, its information unread.
    if (lds.ldCount > PDLDLIST_MAX) {
        if (bFirstWarning(controller, dev)) {
            vLogID6000_Output(controller, -1, dev, true);
            vDriveLocationLine(controller, dev);
        }
        vMetricsKept(controller, dev, true);
        return false;
    }
    vMetricsKept(controller, dev, false);
    return true;
}
