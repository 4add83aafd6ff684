#include "detect/event_scan.h"

#include "config/settings.h"
#include "process/process.h"
#include "detect/tables.h"
#include "isolate/removal.h"
#include "log/history.h"
#include "log/messages.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

struct FreeDeleter {
    void operator()(void *p) const {
        free(p);
    }
};

bool bCountedCode(uint16_t code) {
    return code == 112 || code == 113 || code == 267 || code == 268;
}

// Acceptance: inside the requested range start .. start+n-1, which wraps
// through 0 at the top of the sequence space, a real time stamp, a known code.
bool bAccept(const EventDetail &r, uint32_t start, uint32_t n) {
    return static_cast<uint32_t>(r.seqNum - start) < n && r.timeStamp <= 0xFEFFFFFFu &&
           bCountedCode(r.eventCode);
}

// Reads the events of one controller from `start` up to `newest`. Returns false
// when the scan must end (no memory for a batch, or a stop request).
bool bReadController(int controller, uint32_t start, uint32_t newest) {
    for (;;) {
        // The position follows every finished batch, so that a batch that
        // cannot be had is where the next cycle starts: nothing is read twice
        // and nothing skipped (also when it is the first cycle's).
        g_ulSeqNo[controller] = SEQ_HELD | start;
        if (g_iSignalRecv == 1)
            return false; // stopping: the rest is read at the next start
        uint32_t n = (newest - start >= EVENT_BATCH_MAX) ? EVENT_BATCH_MAX : newest - start + 1;
        size_t length = EVENTLIST_HEADER + static_cast<size_t>(EVENTDETAIL_SIZE) * n;
        std::unique_ptr<void, FreeDeleter> block(calloc(1, length));
        if (!block) {
            vLogID5002_Output("iAErrorChk", errno);
            return false;
        }
        if (iGetEventList(controller, static_cast<int>(n), start, block.get(),
                          static_cast<int>(length), tErrInfo) != 1) {
            if (tErrInfo[0] != LIB_STATUS_EVENT_NONE)
                vLogID5003_Output("iGetEventSquenceInfo", tErrInfo[0]);
            g_ulSeqNo[controller] = SEQ_HELD | static_cast<uint32_t>(start + n);
            return true;
        }
        // A reply claiming more records than were asked for is clipped to the batch.
        uint32_t returned = static_cast<EventListHeader *>(block.get())->eventCount;
        int count = static_cast<int>(returned);
        if (count > static_cast<int>(n))
            count = static_cast<int>(n);
        for (int k = 0; k < count; k++) {
            if (g_iSignalRecv == 1)
                return false; // stopping: the rest is read at the next start
            EventDetail *r = pEventRecord(block.get(), k);
            if (!bAccept(*r, start, n))
                continue;
            int d = r->pdDeviceId;
            if (r->eventCode == 113 && !iSenseKeep(r->senseKey, r->senseCode, r->senseQualifier))
                continue;
            AErrCounter *slot = pAErrCounter(controller, d);
            iLogOut(controller, d, r->seqNum, r->timeStamp, r->description, sizeof r->description,
                    slot != nullptr ? &slot->history : nullptr);
            iHddChk(controller, d, block.get(), DETECT_AERROR, k);
        }
        // The batch that covered `newest` ends the read. Tested on the batch's
        // own range so that a range reaching past 2^32 ends it too, instead of
        // walking the whole sequence space.
        bool last = newest - start < n;
        start += n;
        if (last) {
            g_ulSeqNo[controller] = SEQ_HELD | start;
            return true;
        }
    }
}

} // namespace

// Entries beyond the list's 100 are never consulted, whatever the count says.
int iSenseKeep(unsigned senseKey, unsigned senseCode, unsigned senseQualifier) {
    char key[16];
    snprintf(key, sizeof key, "%02x%02x%02x", senseKey & 0xFFu, senseCode & 0xFFu,
             senseQualifier & 0xFFu);
    int entries = g_iAErrorCnt < SENSE_KEY_ENTRIES ? g_iAErrorCnt : SENSE_KEY_ENTRIES;
    for (int j = 0; j < entries; j++) {
        const char *entry = g_cAErrSenseKey[j];
        size_t len = strnlen(entry, SENSE_KEY_SIZE - 1);
        if (strncasecmp(entry, "ALL", len) == 0)
            return 1;
        if (strncasecmp(entry, key, len) == 0)
            return 0;
    }
    return 1;
}

int iAErrorChk() {
    if (g_ulSeqNo == nullptr)
        return 0;
    for (int i = 0; i < giCtrlCnt && g_iSignalRecv != 1; i++) {
        EventLogInfo info{};
        if (iGetEventSquenceInfo(i, &info, 2, tErrInfo) != 1) {
            vLogID5004_Output("iGetEventSquenceInfo", tErrInfo[0]);
            return 0;
        }
        uint32_t newest = info.newestSeq;
        unsigned long stored = g_ulSeqNo[i];
        uint32_t start = newest; // the first cycle reads only the newest event
        if ((stored & SEQ_HELD) != 0) {
            start = static_cast<uint32_t>(stored);
            // Sequence numbers wrap, so "past the newest" means within the half
            // of the sequence space behind it: nothing new to read (this also
            // covers a log whose newest number went back).
            if (static_cast<uint32_t>(newest - start) >= 0x80000000u)
                continue;
        }
        // The cycle's bound: the newest events are the ones the detection
        // windows need, and reading a huge gap on would keep the scan behind
        // the log (a jump of 2^31 would take 67 million calls).
        uint64_t backlog = static_cast<uint64_t>(static_cast<uint32_t>(newest - start)) + 1;
        if (backlog > static_cast<uint64_t>(EVENT_CYCLE_MAX)) {
            uint32_t from = newest - static_cast<uint32_t>(EVENT_CYCLE_MAX - 1);
            vLogID6020_Output(i, backlog - static_cast<uint64_t>(EVENT_CYCLE_MAX), start,
                              from - 1, EVENT_CYCLE_MAX);
            start = from;
        }
        if (!bReadController(i, start, newest))
            return 0;
    }
    return 1;
}

// The window is found from the ring index, which advances with every stored
// time stamp: the count stops at 0x10000 and is also raised for an event whose
// drive could not be read (no stamp stored), so positions taken from the count
// would drift off the newest stamps. Until L stamps exist since the last
// reset, the L-th newest slot holds an older stamp or 0, which only widens the
// span. A threshold above the ring's 1024 stamps is tested over the 1024
// newest. Drives without a table slot are not counted.
int iHddChk(int controller, int deviceId, void *eventList, int reason, int k) {
    const EventDetail *r = pEventRecord(eventList, k);
    AErrCounter *a = pAErrCounter(controller, deviceId);
    if (a == nullptr)
        return 1;
    if (r->eventCode == 112) {
        a->count = 0;
        a->ringIndex = 0;
        return 1;
    }
    if (a->count < AERR_COUNT_MAX)
        a->count++;
    if (iGetPhysicalInfo(controller, deviceId, &tPhysInfo, 2, tErrInfo) != 1) {
        vLogID5007_Output("iHddChk", tErrInfo[0]);
        return 0;
    }
    int limit = tPhysInfo.mediaType != 0 ? g_iAErrorCntSSD : g_iAErrorCntHDD;
    uint64_t l = static_cast<uint64_t>(static_cast<int64_t>(limit));

    if (g_iThresholdMode == 1) {
        if (a->ringIndex >= RING_SIZE)
            a->ringIndex = 0;
        a->eventTimes[a->ringIndex] = r->timeStamp;
        a->ringIndex = a->ringIndex > RING_SIZE - 2 ? 0 : static_cast<uint16_t>(a->ringIndex + 1);
        if (a->count < l)
            return 1;
        uint64_t back = l < RING_SIZE ? l : RING_SIZE;
        uint64_t newest = a->eventTimes[(a->ringIndex + RING_SIZE - 1) % RING_SIZE];
        uint64_t oldest = a->eventTimes[(a->ringIndex + RING_SIZE - back) % RING_SIZE];
        uint64_t span = newest - oldest;
        uint64_t window = static_cast<uint64_t>(static_cast<int64_t>(g_iThresholdTime));
        if (span <= window)
            iDisConnectHdd(controller, deviceId, reason);
    } else if (a->count >= l) {
        iDisConnectHdd(controller, deviceId, reason);
    }
    return 1;
}
