// Per-drive event history files in the module directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

constexpr const char *HISTORY_PREFIX = "AERROR_Cnt";
constexpr unsigned HISTORY_EPOCH = 946652400; // 2000-01-01 00:00:00 at UTC+9

// What one drive's last pruning pass learned about the module directory, kept
// by the caller beside the drive's other counters (zeroed: nothing known).
struct HistoryMemo {
    int valid;
    long long generation; // the directory's change generation before the pass
    long long files;      // the drive's history files the pass left
};

// Prunes the drive's history files, then appends the line of one event. The
// description is read up to `descriptionMax` bytes and ends at its first CR or
// LF. `memo` may be null (the pass then always runs). 1 when the line was
// written, 0 when the file could not be opened or the line not written
// (message 5009; a file this call created is removed again).
int iLogOut(int controller, int deviceId, uint32_t seqNum, uint32_t timeStamp,
            const char *description, size_t descriptionMax, HistoryMemo *memo);
