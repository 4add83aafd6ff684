// The settings globals and the Kestrun.ini reader.
//
// The reader has rules of its own (substring search for headers and keys, one
// key per line, values after the first run of "=", no trimming). It is the
// daemon's only untrusted text input, so every value is bounded here:
//  - texts longer than their entry are cut to the entry (7, 79, 255 characters);
//  - AERROR_SENSE_KEYn above 100 and MCMR_NAMEn above 10 are ignored, while the
//    counts themselves are stored as read (their users clamp them);
//  - numbers beyond the int range saturate at INT_MIN/INT_MAX, and so does
//    THRESHOLD_TIME once multiplied by 60;
//  - MC_MODE=ON with LWAIT_TIME below 1000 (a zero divisor) leaves the MEDIUM
//    window unchanged; a window beyond the ring is clamped by the scan.
#include "config/settings.h"

#include "process/files.h"
#include "process/process.h"
#include "process/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int g_iLWaitTime = 6000;
int g_iAppLogSwitch = 1;
int g_iPreServLogSwitch = 1;
int g_iThresholdMode = 1;
int g_iThresholdTime = 5;
int g_iPollEvent = 0;
int g_iSmartMode = 1;
int g_iAErrorMode = 1;
int g_iAErrorCnt = 1;
char g_cAErrSenseKey[SENSE_KEY_ENTRIES][SENSE_KEY_SIZE];
int g_iAErrorCntHDD = 20;
int g_iAErrorCntSSD = 30;
int g_iMErrMode = 1;
int g_iMBoardCnt = 0;
char g_cMBoardName[MBOARD_ENTRIES][MBOARD_NAME_SIZE];
int g_iHistoryCnt = 7;
char g_cLibFileName[LIB_NAME_SIZE];
int g_iMcTblDiff = 0;
char g_cNotifyProgram[LIB_NAME_SIZE];
char g_cMetricsFile[LIB_NAME_SIZE];
int g_iActionMode = ACTION_REMOVE;

void vSettingsDefault() {
    g_iLWaitTime = 6000;
    g_iAppLogSwitch = 1;
    g_iPreServLogSwitch = 1;
    g_iThresholdMode = 1;
    g_iThresholdTime = 5; // seconds: the file's minutes only apply when read
    g_iPollEvent = 0;
    g_iSmartMode = 1;
    g_iAErrorMode = 1;
    g_iAErrorCntHDD = 20;
    g_iAErrorCntSSD = 30;
    g_iMErrMode = 1;
    g_iMBoardCnt = 0;
    g_iHistoryCnt = 7;
    g_iActionMode = ACTION_REMOVE;
}

namespace {

constexpr int LINE_SIZE = 512; // lines are read in pieces of at most 511 bytes

enum Section {
    SEC_NONE = -1,
    SEC_WAIT,
    SEC_APPLOG,
    SEC_PFSERVLOG,
    SEC_THRESHOLD,
    SEC_POLL,
    SEC_SMART,
    SEC_AERROR,
    SEC_MEDIUM,
    SEC_HISTORY,
    SEC_LIB,
    SEC_NOTIFY,
    SEC_METRICS,
    SEC_ACTION
};

const char *const kHeaders[] = {"[WAIT]",   "[APPLOG]",  "[PFSERVLOG]", "[THRESHOLD]", "[POLL]",
                                "[SMART]",  "[AERROR]",  "[MEDIUM]",    "[HISTORY]",   "[LIB]",
                                "[NOTIFY]", "[METRICS]", "[ACTION]"};

// The value of a key line: the second piece when the line is split at any of
// `delims` with empty pieces dropped. Returns false when the value is empty.
bool bValue(const char *line, const char *delims, char *out, size_t outSize) {
    const char *p = line + strspn(line, delims); // skip leading delimiters
    p += strcspn(p, delims);                     // first piece
    p += strspn(p, delims);                      // the run that ends it
    size_t len = strcspn(p, delims);             // second piece
    if (len == 0 || *p == '\r' || *p == '\n')
        return false;
    if (len >= outSize)
        len = outSize - 1;
    memcpy(out, p, len);
    out[len] = '\0';
    return true;
}

// strtol with base 10, saturated to the int range.
int iNumber(const char *value) {
    errno = 0;
    long v = strtol(value, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int iSwitch(const char *value) {
    return strncmp(value, "ON", 2) == 0 ? 1 : 0;
}

// Copies a text value cut at its first CR or LF into an entry of `size` bytes.
void vStoreText(char *entry, size_t size, const char *value) {
    size_t len = strcspn(value, "\r\n");
    if (len >= size)
        len = size - 1;
    memset(entry, 0, size);
    memcpy(entry, value, len);
}

// Applies a number key: empty values leave the setting unchanged (except for
// LWAIT_TIME, where empty reads as 0), 0 takes the substitution.
void vNumberKey(const char *line, int *setting, int zeroGives, bool emptyIsZero) {
    char value[LINE_SIZE];
    int n;
    if (bValue(line, "=", value, sizeof value))
        n = iNumber(value);
    else if (emptyIsZero)
        n = 0;
    else
        return;
    *setting = (n == 0) ? zeroGives : n;
}

void vSwitchKey(const char *line, int *setting) {
    char value[LINE_SIZE];
    if (bValue(line, "=", value, sizeof value))
        *setting = iSwitch(value);
}

bool bHasKey(const char *line, const char *key) {
    return strstr(line, key) != nullptr;
}

// A path key: the whole rest of the line after the first "=", cut to its entry.
void vPathKey(const char *line, const char *key, char (&entry)[LIB_NAME_SIZE]) {
    char value[LINE_SIZE];
    if (bHasKey(line, key) && bValue(line, "=\r\n", value, sizeof value))
        vStoreText(entry, LIB_NAME_SIZE, value);
}

// Searches for "<prefix><n>=" with n from 1 to min(count, entries); returns the
// n found or 0.
int iIndexedKey(const char *line, const char *prefix, int count, int entries) {
    int last = count < entries ? count : entries;
    for (int n = 1; n <= last; n++) {
        char key[64];
        snprintf(key, sizeof key, "%s%d=", prefix, n);
        if (bHasKey(line, key))
            return n;
    }
    return 0;
}

void vMcModeKey(const char *line) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value))
        return;
    g_iMErrMode = iSwitch(value);
    if (g_iMErrMode != 1)
        return;
    int divisor = g_iLWaitTime / 1000;
    if (divisor == 0)
        return; // a cycle shorter than one second has no window in cycles
    long long window = static_cast<long long>(g_iThresholdTime) / divisor;
    if (window > INT_MAX)
        window = INT_MAX; // INT_MIN / -1
    g_iMcTblDiff = static_cast<int>(window);
}

// Applies the first key of the section's order found in the line.
void vSectionLine(int section, const char *line) {
    char value[LINE_SIZE];
    int n;
    switch (section) {
    case SEC_WAIT:
        if (bHasKey(line, "LWAIT_TIME="))
            vNumberKey(line, &g_iLWaitTime, 6000, true);
        break;
    case SEC_APPLOG:
        if (bHasKey(line, "APPLOG_SWITCH="))
            vSwitchKey(line, &g_iAppLogSwitch);
        break;
    case SEC_PFSERVLOG:
        if (bHasKey(line, "PFSERVLOG_SWITCH="))
            vSwitchKey(line, &g_iPreServLogSwitch);
        break;
    case SEC_THRESHOLD:
        if (bHasKey(line, "THRESHOLD_MODE=")) {
            if (bValue(line, "=", value, sizeof value))
                g_iThresholdMode = strncmp(value, "TIME", 4) == 0 ? 1 : 0;
        } else if (bHasKey(line, "THRESHOLD_TIME=")) {
            if (bValue(line, "=", value, sizeof value)) {
                long long minutes = iNumber(value);
                if (minutes == 0)
                    minutes = 5;
                long long seconds = minutes * 60;
                g_iThresholdTime = seconds > INT_MAX   ? INT_MAX
                                   : seconds < INT_MIN ? INT_MIN
                                                       : static_cast<int>(seconds);
            }
        }
        break;
    case SEC_POLL:
        if (bHasKey(line, "POLL_EVENT="))
            vSwitchKey(line, &g_iPollEvent);
        break;
    case SEC_SMART:
        if (bHasKey(line, "SMART_MODE="))
            vSwitchKey(line, &g_iSmartMode);
        break;
    case SEC_AERROR:
        if (bHasKey(line, "AERROR_MODE=")) {
            vSwitchKey(line, &g_iAErrorMode);
        } else if (bHasKey(line, "AERROR_SENSE_COUNT=")) {
            vNumberKey(line, &g_iAErrorCnt, 1, false);
        } else if ((n = iIndexedKey(line, "AERROR_SENSE_KEY", g_iAErrorCnt, SENSE_KEY_ENTRIES))) {
            if (bValue(line, "=", value, sizeof value))
                vStoreText(g_cAErrSenseKey[n - 1], SENSE_KEY_SIZE, value);
        } else if (bHasKey(line, "AERROR_COUNT_HDD=")) {
            vNumberKey(line, &g_iAErrorCntHDD, 20, false);
        } else if (bHasKey(line, "AERROR_COUNT_SSD=")) {
            vNumberKey(line, &g_iAErrorCntSSD, 30, false);
        }
        break;
    case SEC_MEDIUM:
        if (bHasKey(line, "MC_MODE=")) {
            vMcModeKey(line);
        } else if (bHasKey(line, "MCMR_COUNT=")) {
            vNumberKey(line, &g_iMBoardCnt, 0, false);
        } else if ((n = iIndexedKey(line, "MCMR_NAME", g_iMBoardCnt, MBOARD_ENTRIES))) {
            if (bValue(line, "=", value, sizeof value))
                vStoreText(g_cMBoardName[n - 1], MBOARD_NAME_SIZE, value);
        }
        break;
    case SEC_HISTORY:
        if (bHasKey(line, "HISTORY_COUNT="))
            vNumberKey(line, &g_iHistoryCnt, 7, false);
        break;
    case SEC_LIB:
        vPathKey(line, "LIBPATH=", g_cLibFileName);
        break;
    case SEC_NOTIFY:
        vPathKey(line, "NOTIFY_PROGRAM=", g_cNotifyProgram);
        break;
    case SEC_METRICS:
        vPathKey(line, "METRICS_FILE=", g_cMetricsFile);
        break;
    case SEC_ACTION:
        if (bHasKey(line, "ACTION_MODE=")) {
            if (bValue(line, "=", value, sizeof value))
                g_iActionMode = strncmp(value, "OBSERVE", 7) == 0 ? ACTION_OBSERVE : ACTION_REMOVE;
        }
        break;
    default:
        break;
    }
}

} // namespace

int iIniFileRead() {
    g_iAErrorCnt = 1;
    memset(g_cAErrSenseKey, 0, sizeof g_cAErrSenseKey);
    memset(g_cLibFileName, 0, sizeof g_cLibFileName);
    memset(g_cNotifyProgram, 0, sizeof g_cNotifyProgram);
    memset(g_cMetricsFile, 0, sizeof g_cMetricsFile);

    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, INI_FILE_NAME);
    FilePtr file(pOpenRegularFile(path, "r"));
    if (!file)
        return errno == EINVAL ? -1 : 0;

    int section = SEC_NONE;
    char line[LINE_SIZE];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strchr("#/ \t\r\n", line[0]) != nullptr && line[0] != '\0')
            continue;
        bool header = false;
        for (int s = 0; s < static_cast<int>(sizeof kHeaders / sizeof kHeaders[0]); s++) {
            if (strstr(line, kHeaders[s]) != nullptr) {
                section = s;
                header = true;
                break;
            }
        }
        if (header || section == SEC_NONE)
            continue;
        vSectionLine(section, line);
    }

    if (g_cLibFileName[0] == '\0')
        snprintf(g_cLibFileName, sizeof g_cLibFileName, "%s", DEFAULT_LIB_NAME);
    return 1;
}
