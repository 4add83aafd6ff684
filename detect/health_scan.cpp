#include "detect/health_scan.h"

#include "config/settings.h"
#include "process/process.h"
#include "detect/tables.h"
#include "isolate/removal.h"
#include "log/messages.h"
#include "metrics/metrics.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

int g_iPdWatchCnt = 0;

namespace {

// Holds the scan's drive list in tPhysList and releases it on every path.
struct PhysListHold {
    PhysListHold() {
        tPhysList = nullptr;
        tPhysList = static_cast<PdList *>(malloc(sizeof(PdList)));
    }
    ~PhysListHold() {
        free(tPhysList);
        tPhysList = nullptr;
    }
    PhysListHold(const PhysListHold &) = delete;
    PhysListHold &operator=(const PhysListHold &) = delete;
};

void vCounterReset(MErrCounter *c) {
    c->ringIndex = 0;
    c->wrapped = 0;
    c->lastCount = 0;
}

} // namespace

// A window longer than the ring is clamped to 1023 cycles, which makes the base
// the oldest sample the ring still holds. A negative window (only a negative
// THRESHOLD_TIME gives one) is taken as 0: the sample is compared with itself
// and never removes a drive, rather than reaching ahead into samples that may
// predate the last reset.
int iMediumBaseSlot(int ringIndex, int wrapped, int window) {
    int w = window < 0 ? 0 : (window > RING_SIZE - 1 ? RING_SIZE - 1 : window);
    if (ringIndex > w || wrapped == 1)
        return (ringIndex - w + RING_SIZE - 1) % RING_SIZE;
    return 0;
}

namespace {

// Growth below the base sample (a count that fell after a reset) is no growth:
// taken unsigned it would read as growth beyond any threshold and fail a
// healthy drive out of its array.
void vMediumSample(MErrCounter *c, int controller, int deviceId, uint8_t mediaType,
                   uint32_t mediaErrorCount) {
    if (c->ringIndex < 0 || c->ringIndex >= RING_SIZE)
        vCounterReset(c);

    uint32_t threshold = static_cast<uint32_t>(mediaType != 0 ? g_iAErrorCntSSD : g_iAErrorCntHDD);
    int base;
    if (g_iThresholdMode == 1) {
        c->samples[c->ringIndex] = mediaErrorCount;
        if (c->ringIndex > RING_SIZE - 2) {
            c->wrapped = 1;
            c->ringIndex = 0;
        } else {
            c->ringIndex++;
        }
        base = iMediumBaseSlot(c->ringIndex, c->wrapped, g_iMcTblDiff);
    } else {
        if (c->ringIndex == 0) {
            c->samples[0] = mediaErrorCount;
            c->ringIndex = 1;
            return;
        }
        base = 0;
    }
    uint32_t baseCount = c->samples[base];
    uint32_t growth = mediaErrorCount > baseCount ? mediaErrorCount - baseCount : 0;
    if (growth >= threshold)
        iDisConnectHdd(controller, deviceId, DETECT_MEDIUM);
}

} // namespace

int iMediumChk(int controller, int deviceId, uint8_t mediaType, uint32_t mediaErrorCount) {
    MErrController *ctrl = pMErrController(controller);
    if (ctrl == nullptr || ctrl->enabled != 1)
        return 1;
    MErrCounter *c = pMErrCounter(controller, deviceId);
    if (c != nullptr)
        vMediumSample(c, controller, deviceId, mediaType, mediaErrorCount);
    return 1;
}

// A drive list reporting more than its 256 entries is clipped to them. A stop
// request leaves the scan between drives and between controllers, once the
// removal in progress is done; the rest is checked at the next start.
void vSmartMErrChk() {
    PhysListHold hold;
    g_iPdWatchCnt = 0;
    if (tPhysList == nullptr) {
        vLogID5002_Output("vSmartChk", errno);
        return;
    }
    for (int i = 0; i < giCtrlCnt && g_iSignalRecv != 1; i++) {
        memset(tPhysList, 0, sizeof(PdList));
        if (iGetPdList(i, tPhysList, 2, tErrInfo) != 1)
            continue;
        // Compared unsigned: a count of 2^31 or more is no negative number.
        uint32_t listed = tPhysList->pdCount;
        int count = listed > static_cast<uint32_t>(PDLIST_MAX) ? PDLIST_MAX
                                                               : static_cast<int>(listed);
        g_iPdWatchCnt = count > INT_MAX - g_iPdWatchCnt ? INT_MAX : g_iPdWatchCnt + count;
        vTablesListed(i, tPhysList, count);
        for (int j = 0; j < count && g_iSignalRecv != 1; j++) {
            int d = tPhysList->entry[j].deviceId;
            if (iGetPhysicalInfo(i, d, &tPhysInfo, 2, tErrInfo) != 1)
                continue;
            if (tPhysInfo.deviceType != 0 || tPhysInfo.mediaType > 1)
                continue;
            vMetricsDrive(i, d, tPhysInfo.firmwareState, tPhysInfo.predictiveFailureCount,
                          tPhysInfo.mediaErrorCount, tPhysInfo.enclosureDeviceId,
                          tPhysInfo.slotNumber);
            if (g_iSmartMode == 1 && tPhysInfo.predictiveFailureCount != 0)
                iDisConnectHdd(i, d, DETECT_SMART);
            if (g_iSignalRecv == 1)
                break;

            // A controller beyond the tables was never matched against the
            // models: its drives are reported as not watched.
            MErrController *ctrl = pMErrController(i);
            if (g_iMErrMode != 1 || (ctrl != nullptr && ctrl->enabled != 1))
                continue;
            MErrCounter *c = pMErrCounter(i, d);
            if (c == nullptr)
                continue;
            // tPhysInfo may now hold the removal code's last read of this drive.
            int current = static_cast<int>(tPhysInfo.mediaErrorCount);
            if (tPhysInfo.firmwareState == PD_STATE_REBUILD || current < c->lastCount)
                vCounterReset(c);
            else if (current > c->lastCount)
                c->lastCount = current;
            vMediumSample(c, i, d, tPhysInfo.mediaType, tPhysInfo.mediaErrorCount);
        }
    }
}
