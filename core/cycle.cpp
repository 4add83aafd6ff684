#include "core/cycle.h"

#include "config/settings.h"
#include "core/exit_status.h"
#include "detect/event_scan.h"
#include "detect/health_scan.h"
#include "detect/tables.h"
#include "isolate/register.h"
#include "isolate/removal.h"
#include "log/dir_watch.h"
#include "log/messages.h"
#include "metrics/metrics.h"
#include "process/process.h"
#include "service/notify.h"
#include "storage/StoreCmd.h"
#include "storage/loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int g_iChkBoardCnt = 0;
int g_iExitStatus = EXIT_STATUS_STOPPED;

namespace {

// productName equals `name` as whole texts; the reply's text is only trusted
// within its record.
bool bSameModel(const CtrlInfo &info, const char *name) {
    static_assert(MBOARD_NAME_SIZE <= sizeof info.productName, "a name and its end fit the record");
    size_t len = strnlen(name, MBOARD_NAME_SIZE - 1);
    return memcmp(info.productName, name, len) == 0 && info.productName[len] == '\0';
}

// The service manager's one-line status after each cycle.
void vCycleStatus() {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char watched[48];
    if (g_iSmartMode == 1 || g_iMErrMode == 1)
        snprintf(watched, sizeof watched, "%d drives watched", g_iPdWatchCnt);
    else
        snprintf(watched, sizeof watched, "%d controllers watched", giCtrlCnt);
    char text[160];
    snprintf(text, sizeof text, "Last cycle %04d/%02d/%02d %02d:%02d:%02d, %s, %d removed this run",
             (t.tm_year + 1900) % 10000, (t.tm_mon + 1) % 100, t.tm_mday % 100, t.tm_hour % 100,
             t.tm_min % 100, t.tm_sec % 100, watched, g_iRemovedCnt);
    vNotifyStatus(text);
}

// SIGUSR2 and SIGALRM are ignored, but not silently.
void vIgnoredSignalsReport() {
    if (g_iUsr2Recv == 1) {
        g_iUsr2Recv = 0;
        vLogID6024_Output("SIGUSR2");
    }
    if (g_iAlrmRecv == 1) {
        g_iAlrmRecv = 0;
        vLogID6024_Output("SIGALRM");
    }
}

} // namespace

// Controllers beyond the tables are left out of the model check: their
// information is not read and they can never enable the media-error test.
int iControllerChk() {
    g_iChkBoardCnt = 0;
    int names = g_iMBoardCnt < MBOARD_ENTRIES ? g_iMBoardCnt : MBOARD_ENTRIES;
    for (int i = 0; i < giCtrlCnt && i < TABLE_CONTROLLERS; i++) {
        if (iGetControllerInfo(i, &tCtrInfo, 2, tErrInfo) != 1) {
            vLogID5012_Output(i, "iControllerChk", tErrInfo[0]);
            return 0;
        }
        MErrController *c = pMErrController(i);
        for (int j = 0; j < names; j++) {
            if (!bSameModel(tCtrInfo, g_cMBoardName[j]))
                continue;
            size_t len = strnlen(g_cMBoardName[j], sizeof c->modelName - 1);
            memset(c->modelName, 0, sizeof c->modelName);
            memcpy(c->modelName, g_cMBoardName[j], len);
            g_iChkBoardCnt++;
            c->enabled = 1;
        }
    }
    return 1;
}

void vLogMode_OutPut() {
    const char *smart = g_iSmartMode == 1 ? "SMART Mode : ON" : "SMART Mode : OFF";
    const char *aerror = g_iAErrorMode == 1 ? "AERROR Mode : ON" : "AERROR Mode : OFF";
    const char *medium = "MEDIUM Mode : OFF";
    if (g_iMErrMode == 1 && g_iChkBoardCnt != 0) {
        medium = "MEDIUM Mode : ON";
    } else if (g_iMErrMode == 1) {
        g_iMErrMode = 0;
        medium = "MEDIUM Mode : OFF( Controller that is defined in the inifile was not found. )";
    }
    char modes[MESSAGE_SIZE];
    snprintf(modes, sizeof modes, " %s, %s, %s", smart, aerror, medium);
    vLogID1001_Output(modes);
}

// Completes this cycle's drive records with the event counts and writes the
// metrics file. A failure is reported when it first happens and again only
// when its cause changes.
void vMetricsCycleEnd() {
    static int lastError = 0;
    if (!bMetricsOn()) {
        iMetricsWrite(giCtrlCnt, 0, 0); // still counts the cycle
        return;
    }
    for (int i = 0; i < iMetricsDriveCount(); i++) {
        MetricsDrive *d = pMetricsDrive(i);
        d->aerrorEvents = g_iAErrorMode == 1 ? llTableEventCount(d->controller, d->deviceId) : -1;
    }
    int error =
        iMetricsWrite(giCtrlCnt, iRegisterLineCount(), static_cast<long long>(time(nullptr)));
    if (error != 0 && error != lastError)
        vLogID6300_Output(g_cMetricsFile, error);
    lastError = error;
}

void vMainProc() {
    vDateTimeStr();
    hLib = nullptr;
    vTablesClear();

    if (iLib_Link() != 0) {
        vLogID5006_Output("iLib_Link", errno);
        g_iExitStatus = EXIT_STATUS_INSTALL;
        vLibUnload(""); // only held when the entry point was missing
        return;
    }
    if (iControllerSearch(&tCtrlList, 2, tErrInfo) != 1) {
        vLogID5010_Output("iControllerSearch", tErrInfo[0]);
        g_iExitStatus = EXIT_STATUS_CONTROLLER;
        vLibUnload("");
        return;
    }
    if (iControllerChk() != 1) {
        g_iExitStatus = EXIT_STATUS_CONTROLLER;
        return; // the exit clean-up unloads the library
    }
    vLogMode_OutPut();
    if (giCtrlCnt <= 0)
        vLogID6001_Output();
    // Observe mode leaves the register and the drives it names as they are.
    if (g_iActionMode == ACTION_OBSERVE)
        vLogID6400_Output();
    else
        iHspFlgChk();

    g_ulSeqNo = nullptr;
    if (g_iAErrorMode == 1) {
        // One entry at least, so that no controller is no allocation failure.
        size_t entries = giCtrlCnt > 0 ? static_cast<size_t>(giCtrlCnt) : 1;
        g_ulSeqNo = static_cast<unsigned long *>(calloc(entries, sizeof(unsigned long)));
        if (g_ulSeqNo == nullptr) {
            vLogID5002_Output("vMainProc", errno);
            return;
        }
    }

    vNotifyReady();
    vNotifyStatus("Monitoring started");

    while (g_iSignalRecv != 1) {
        vLogFallbackReset();
        vIgnoredSignalsReport();
        vMetricsCycleBegin();
        vTablesCycle();
        vNotifyAlive();
        if (g_iPollEvent == 1)
            vLogID1010_Output();
        if (g_iSmartMode == 1 || g_iMErrMode == 1)
            vSmartMErrChk();
        if (g_iAErrorMode == 1)
            iAErrorChk();
        // A cycle cut short by a stop has read only some drives: the file keeps
        // the last complete cycle rather than a partial one.
        if (g_iSignalRecv != 1)
            vMetricsCycleEnd();
        vAlertService();
        vCycleStatus();
        int seconds = g_iLWaitTime / 1000;
        for (int i = 0; i < seconds; i++) {
            vIgnoredSignalsReport();
            if (g_iSignalRecv == 1)
                break;
            if (g_iWakeRecv == 1) { // SIGUSR1: the next cycle now
                g_iWakeRecv = 0;
                break;
            }
            vNotifyAlive();
            sleep(1);
            vAlertService();
        }
    }

    if (g_ulSeqNo != nullptr) {
        free(g_ulSeqNo);
        g_ulSeqNo = nullptr;
    }
    vDirWatchRelease();
    vLibUnload("");
}
