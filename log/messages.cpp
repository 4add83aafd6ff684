// Message catalogue. Every message is formatted into a bounded buffer, sent to
// syslog first when its route says so, and then appended to
// PredictiveFailure.log. A message that cannot be written to the log file and
// has not gone to syslog goes there instead, so that a full or read-only module
// directory does not swallow the very failures it causes. Nothing stays open
// between messages.
#include "log/messages.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "log/append.h"
#include "process/files.h"
#include "process/process.h"
#include "process/regular_file.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <syslog.h>

namespace {

enum SyslogRoute { SYSLOG_NEVER, SYSLOG_ALWAYS, SYSLOG_APPLOG };

// Message numbers already sent to syslog in this cycle because the log file
// failed: one bit per number, so a failing log file cannot flood syslog.
constexpr int MESSAGE_NUMBERS = 10000;
unsigned char s_fallbackSent[MESSAGE_NUMBERS / 8];

// The number of a "<NNNN:..." text, or -1.
int iMessageNumber(const char *text) {
    if (text[0] != '<')
        return -1;
    int number = 0;
    for (int i = 1; i <= 4; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        number = number * 10 + (text[i] - '0');
    }
    return text[5] == ':' ? number : -1;
}

// True the first time in this cycle that message `number` asks for the fallback.
bool bFallbackFirst(int number) {
    if (number < 0)
        return true;
    unsigned char bit = static_cast<unsigned char>(1u << (number % 8));
    if (s_fallbackSent[number / 8] & bit)
        return false;
    s_fallbackSent[number / 8] |= bit;
    return true;
}

void vAlertFailuresLog();

// Every Error-level message, and whatever else asks for it, also runs the
// alert program, after the message is logged.
void vRaise(SyslogRoute route, int priority, const char *text, bool alert = false) {
    int number = iMessageNumber(text);
    bool sent = route == SYSLOG_ALWAYS || (route == SYSLOG_APPLOG && g_iAppLogSwitch == 1);
    if (sent)
        vOutputSyslog(priority, text);
    if (iPredictiveLogOut(text) == 0 && !sent && bFallbackFirst(number))
        vOutputSyslog(priority, text);
    if ((priority == LOG_ERR || alert) && bAlertOn()) {
        vAlertRun(number < 0 ? 0 : number, priority == LOG_ERR ? "Error" : "Warning", text);
        vAlertFailuresLog();
    }
}

// The first run of each kind that could not be started, reported at once. Its
// own message runs the program again; a failure of the same kind is not
// reported twice, so this ends.
void vAlertFailuresLog() {
    for (int code = iAlertFailureTake(); code != 0; code = iAlertFailureTake())
        vLogID6200_Output(g_cNotifyProgram, code);
}

// Drive numbers are printed as the device id's low 16 bits, unsigned.
int iPd(int deviceId) {
    return static_cast<int>(static_cast<unsigned>(deviceId) & 0xFFFFu);
}

#define KESTRUN_MESSAGE(route, priority, ...)                                                      \
    do {                                                                                           \
        char text[MESSAGE_SIZE];                                                                   \
        snprintf(text, sizeof text, __VA_ARGS__);                                                  \
        vRaise(route, priority, text);                                                             \
    } while (0)

} // namespace

void vLogFallbackReset() {
    memset(s_fallbackSent, 0, sizeof s_fallbackSent);
}

void vOutputSyslog(int priority, const char *text) {
    openlog("Kestrun", LOG_PID | LOG_CONS, LOG_USER);
    syslog(priority, "%s", text);
    closelog();
}

int iPredictiveLogOut(const char *text) {
    if (g_iPreServLogSwitch != 1)
        return 1;
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, LOG_FILE_NAME);
    FilePtr file(pOpenRegularFile(path, "a"));
    if (!file)
        return 0;
    time_t now = time(nullptr);
    struct tm tmNow {};
    localtime_r(&now, &tmNow);
    char line[MESSAGE_SIZE + 32];
    int len =
        snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d %s\n", tmNow.tm_year + 1900,
                 tmNow.tm_mon + 1, tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec, text);
    if (len < 0)
        return 0;
    size_t size = static_cast<size_t>(len);
    if (size >= sizeof line) { // cut, but still one whole line
        size = sizeof line - 1;
        line[size - 1] = '\n';
    }
    return iAppendWhole(fileno(file.get()), line, size, false) == 0 ? 1 : 0;
}

void vLogID1000_Output(const char *version) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_INFO,
                    "<1000:Information> Predictive Failure has started successfully %s", version);
}

void vLogID1001_Output(const char *modes) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_INFO, "<1001:Information> Current Mode. %s", modes);
}

void vLogID1010_Output() {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_INFO, "%s",
                    "<1010:Information> Check the Predictive Failure Event.");
}

void vLogID2000_Output() {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR, "%s", "<2000:Error> Kestrun.ini file is not found.");
}

void vLogID4000_Output(const char *spareText) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4000:Error> Predictive Failure event received from %s.", spareText);
}

void vLogID4001_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR, "<4001:Error> Failed remove HotSpare. (PD:%d)",
                    iPd(deviceId));
}

void vLogID4101_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4101:Error> Failed set Unconfigured & Bad State. (PD:%d)", iPd(deviceId));
}

void vLogID4500_Output(int deviceId) {
    KESTRUN_MESSAGE(
        SYSLOG_APPLOG, LOG_ERR,
        "<4500:Error> Command Timeout or Check Condition event receive. PD removed. (PD:%d)",
        iPd(deviceId));
}

void vLogID4501_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR, "<4501:Error> Failed remove PD. (PD:%d)",
                    iPd(deviceId));
}

void vLogID4502_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4502:Error> Predictive Failure event received. PD removed. (PD:%d)",
                    iPd(deviceId));
}

void vLogID4600_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4600:Error> PD was set to offline status again. (PD:%d)", iPd(deviceId));
}

void vLogID4601_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR, "<4601:Error> Failed remove PD (re-set). (PD:%d)",
                    iPd(deviceId));
}

void vLogID4700_Output(const char *spareText) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4700:Error> Command Timeout or Check Condition event received from %s.",
                    spareText);
}

void vLogID4800_Output(int deviceId) {
    KESTRUN_MESSAGE(
        SYSLOG_APPLOG, LOG_ERR,
        "<4800:Error> Media error count has exceeded the threshold. PD removed. (PD:%d)",
        iPd(deviceId));
}

void vLogID4801_Output(int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_ERR,
                    "<4801:Error> Failed remove PD (Media error count has exceeded the threshold). "
                    "(PD:%d)",
                    iPd(deviceId));
}

void vLogID5002_Output(const char *name, int error) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR,
                    "<5002:Error> Memory allocation failed.(%s) Error Code (%d)", name, error);
}

void vLogID5003_Output(const char *name, int status) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR,
                    "<5003:Error> Unable to read event log. (%s) Error Code(%d)", name, status);
}

void vLogID5004_Output(const char *name, int status) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR,
                    "<5004:Error> Event log open failed. (%s) Error Code(%d)", name, status);
}

void vLogID5006_Output(const char *name, int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR,
                    "<5006:Error> Unable to load storelib.dll. (%s) Error Code(%d)", name, error);
}

void vLogID5007_Output(const char *name, int status) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR,
                    "<5007:Error> Unable to get physical drive information.(%s) Error Code (%d)",
                    name, status);
}

void vLogID5008_Output(const char *name, int error) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR,
                    "<5008:Error> Unable to free storelib.dll. (%s) Error Code (%d)", name, error);
}

void vLogID5009_Output(const char *fileName, const char *name, int error) {
    KESTRUN_MESSAGE(SYSLOG_NEVER, LOG_ERR, "<5009:Error> %s File open failed.(%s) Error Code (%d)",
                    fileName, name, error);
}

void vLogID5010_Output(const char *name, int status) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR,
                    "<5010:Error> Failed to find the controller. (%s) Error Code (%d)", name,
                    status);
}

void vLogID5011_Output(const char *signalName) {
    KESTRUN_MESSAGE(
        SYSLOG_ALWAYS, LOG_ERR,
        "<5011:Error> Signal handler (%s) set failed. Predictive Failure monitor has shutdown.",
        signalName);
}

void vLogID5012_Output(int controller, const char *name, int status) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR,
                    "<5012:Error> Failed to get controller name. (No.%d)(%s) Error Code (%d)",
                    controller, name, status);
}

// The refused process leaves the log file alone: it belongs to the running
// instance, and the settings that may switch it off have not been read.
void vLogID6010_Output(const char *moduleDir) {
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text,
             "<6010:Error> Another Kestrun instance is already running on the module directory "
             "(%s). This start has been refused.",
             moduleDir);
    vOutputSyslog(LOG_ERR, text);
    fprintf(stderr, "Kestrun: %s\n", text);
}

void vLogID6011_Output(const char *moduleDir, int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6011:Warning> The module directory (%s) cannot be locked. Error Code (%d). "
                    "A second instance would not be refused.",
                    moduleDir, error);
}

// A condemned drive left in service needs someone's attention: it also runs
// the alert program.
void vLogID6000_Output(int controller, int ldNumber, int deviceId, bool unreadable) {
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text,
             "<6000:Warning> PD kept in service: logical drive %s. (No.%d)(LD:%d)(PD:%d)",
             unreadable ? "information could not be read" : "cannot afford to lose it", controller,
             ldNumber, iPd(deviceId));
    vRaise(SYSLOG_APPLOG, LOG_WARNING, text, true);
}

void vLogID6020_Output(int controller, unsigned long long skipped, unsigned first, unsigned last,
                       int read) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6020:Warning> Event log backlog too long. (No.%d) %llu events skipped "
                    "(sequence %u to %u); the newest %d are read.",
                    controller, skipped, first, last, read);
}

void vLogID6021_Output() {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR, "%s",
                    "<6021:Error> Kestrun.ini is not a regular file. Predictive Failure monitor "
                    "has shutdown.");
}

void vLogID6022_Output() {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_INFO, "%s",
                    "<6022:Information> SIGHUP received. Predictive Failure monitor restarts to "
                    "read its settings again.");
}

void vLogID6023_Output(int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR,
                    "<6023:Error> Restart failed. Error Code (%d). Predictive Failure monitor "
                    "has shutdown.",
                    error);
}

void vLogID6024_Output(const char *signalName) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING, "<6024:Warning> Signal %s received and ignored.",
                    signalName);
}

// A start that finds no controller watches nothing: someone must know, so it
// also runs the alert program.
void vLogID6001_Output() {
    vRaise(SYSLOG_ALWAYS, LOG_WARNING,
           "<6001:Warning> No controller found. No drive is monitored in this run.", true);
}

void vLogID6002_Output(int controller, int deviceId) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_WARNING,
                    "<6002:Warning> Register line kept: its controller is not listed at this "
                    "start. (No.%d)(PD:%d)",
                    controller, iPd(deviceId));
}

void vLogID6200_Output(const char *program, int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_ERR,
                    "<6200:Error> Alert program cannot be run. (%s) Error Code (%d)", program,
                    error);
}

void vLogID6201_Output(unsigned skipped) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6201:Warning> Alert program not run for %u messages: %d runs in "
                    "progress and %d waiting.",
                    skipped, ALERT_RUNNING_MAX, ALERT_QUEUE_MAX);
}

void vLogID6202_Output(int killed) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6202:Warning> Alert program killed after running %d seconds. (%d runs)",
                    ALERT_LIMIT_MS / 1000, killed);
}

void vLogID6300_Output(const char *file, int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6300:Warning> Metrics file cannot be written. (%s) Error Code (%d)", file,
                    error);
}

void vLogID6400_Output() {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_INFO, "%s",
                    "<6400:Information> Observe mode: drives that would be removed are reported "
                    "and left in service.");
}

void vLogID6401_Output(int controller, int deviceId, const char *mode, const char *role) {
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text,
             "<6401:Warning> Observe mode: PD would be removed. (Controller:%d PD:%d Mode:%s "
             "Role:%s)",
             controller, iPd(deviceId), mode, role);
    vRaise(SYSLOG_ALWAYS, LOG_WARNING, text, true);
}

void vLogID6402_Output(const char *value) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6402:Warning> ACTION_MODE value not recognised (%s): observe mode, no drive "
                    "is removed.",
                    value);
}

void vLogID6500_Output(int controller, int deviceId, int enclosure, int slot,
                       unsigned long long sasAddress, const char *drive, bool syslogAlways) {
    KESTRUN_MESSAGE(syslogAlways ? SYSLOG_ALWAYS : SYSLOG_APPLOG, LOG_INFO,
                    "<6500:Information> PD location: enclosure %d slot %d, SAS address 0x%016llx, "
                    "drive \"%s\". (No.%d)(PD:%d)",
                    enclosure, slot, sasAddress, drive, controller, iPd(deviceId));
}

void vLogID6501_Output(int controller, int deviceId, unsigned long long removedSas,
                       const char *removedDrive, unsigned long long nowSas, const char *nowDrive,
                       int enclosure, int slot) {
    KESTRUN_MESSAGE(SYSLOG_APPLOG, LOG_INFO,
                    "<6501:Information> Registered PD was replaced: its register line is retired "
                    "and the new drive is left alone. Removed drive: SAS address 0x%016llx, drive "
                    "\"%s\". Now in enclosure %d slot %d: SAS address 0x%016llx, drive \"%s\". "
                    "(No.%d)(PD:%d)",
                    removedSas, removedDrive, enclosure, slot, nowSas, nowDrive, controller,
                    iPd(deviceId));
}

void vLogID6502_Output(const char *fileName, const char *name, int error) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    "<6502:Warning> %s File write failed: register lines stand without the "
                    "drive's identity.(%s) Error Code (%d)",
                    fileName, name, error);
}

void vLogID6600_Output(int controller, int deviceId, const char *mode, bool beyondTables,
                       int limit) {
    KESTRUN_MESSAGE(SYSLOG_ALWAYS, LOG_WARNING,
                    beyondTables ? "<6600:Warning> PD not watched: the detection tables hold the "
                                   "first %d controllers. (Controller:%d PD:%d Mode:%s)"
                                 : "<6600:Warning> PD not watched: all %d drive slots of its "
                                   "controller are in use. (Controller:%d PD:%d Mode:%s)",
                    limit, controller, iPd(deviceId), mode);
}

void vAlertService() {
    if (!bAlertOn())
        return;
    int killed = iAlertReap();
    vAlertFailuresLog();
    if (killed > 0)
        vLogID6202_Output(killed);
    unsigned skipped = uAlertSkippedTake();
    if (skipped > 0)
        vLogID6201_Output(skipped);
}
