// Kestrun --check. Every note on the settings comes from the daemon's own
// reader; the library, the alert program and the metrics directory are
// checked the way the daemon will use them, without leaving a trace.
#include "core/check.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "core/exit_status.h"
#include "process/files.h"
#include "process/process.h"
#include "storage/loader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Tally {
    int warnings = 0;
    int errors = 0;
} g_tally;

__attribute__((format(printf, 3, 4))) void vSay(const char *where, int level, const char *format,
                                                ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const char *tag = "";
    if (level == SETTINGS_NOTE_ERROR) {
        g_tally.errors++;
        tag = "error: ";
    } else if (level == SETTINGS_NOTE_WARNING) {
        g_tally.warnings++;
        tag = "warning: ";
    }
    printf("%s: %s%s\n", where, tag, text);
}

void vFileNote(void *context, int line, int level, const char *text) {
    const char *path = static_cast<const char *>(context);
    if (line > 0) {
        char where[MODULE_FILE_PATH_SIZE + 16];
        snprintf(where, sizeof where, "%s:%d", path, line);
        vSay(where, level, "%s", text);
    } else {
        vSay(path, level, "%s", text);
    }
}

const char *pcOnOff(int value) {
    return value == 1 ? "ON" : "OFF";
}

void vEffectiveSettings() {
    printf("effective settings:\n");
    printf("  [WAIT] LWAIT_TIME=%d (a pause of %d s after each cycle)\n", g_iLWaitTime,
           g_iLWaitTime / 1000 > 0 ? g_iLWaitTime / 1000 : 0);
    printf("  [APPLOG] APPLOG_SWITCH=%s\n", pcOnOff(g_iAppLogSwitch));
    printf("  [PFSERVLOG] PFSERVLOG_SWITCH=%s\n", pcOnOff(g_iPreServLogSwitch));
    printf("  [THRESHOLD] THRESHOLD_MODE=%s\n", g_iThresholdMode == 1 ? "TIME" : "COUNT");
    printf("  [THRESHOLD] THRESHOLD_TIME: a window of %d seconds\n", g_iThresholdTime);
    printf("  [POLL] POLL_EVENT=%s\n", pcOnOff(g_iPollEvent));
    printf("  [SMART] SMART_MODE=%s\n", pcOnOff(g_iSmartMode));
    printf("  [AERROR] AERROR_MODE=%s\n", pcOnOff(g_iAErrorMode));
    printf("  [AERROR] AERROR_SENSE_COUNT=%d\n", g_iAErrorCnt);
    int inUse = g_iAErrorCnt < SENSE_KEY_ENTRIES ? g_iAErrorCnt : SENSE_KEY_ENTRIES;
    int shown = 0; // up to the last entry in use that holds a code
    for (int i = 0; i < inUse; i++)
        shown = g_cAErrSenseKey[i][0] != '\0' ? i + 1 : shown;
    for (int i = 0; i < shown; i++)
        printf("  [AERROR] AERROR_SENSE_KEY%d=\"%s\"\n", i + 1, g_cAErrSenseKey[i]);
    if (shown + 1 == inUse)
        printf("  [AERROR] AERROR_SENSE_KEY%d: empty\n", inUse);
    else if (shown < inUse)
        printf("  [AERROR] AERROR_SENSE_KEY%d to %d: empty\n", shown + 1, inUse);
    printf("  [AERROR] AERROR_COUNT_HDD=%d\n", g_iAErrorCntHDD);
    printf("  [AERROR] AERROR_COUNT_SSD=%d\n", g_iAErrorCntSSD);
    printf("  [MEDIUM] MC_MODE=%s (a window of %d cycles)\n", pcOnOff(g_iMErrMode), g_iMcTblDiff);
    printf("  [MEDIUM] MCMR_COUNT=%d\n", g_iMBoardCnt);
    for (int i = 0; i < g_iMBoardCnt && i < MBOARD_ENTRIES; i++)
        printf("  [MEDIUM] MCMR_NAME%d=\"%s\"\n", i + 1, g_cMBoardName[i]);
    printf("  [HISTORY] HISTORY_COUNT=%d\n", g_iHistoryCnt);
    printf("  [LIB] LIBPATH=%s\n", g_cLibFileName);
    printf("  [NOTIFY] NOTIFY_PROGRAM=%s\n", g_cNotifyProgram[0] ? g_cNotifyProgram : "(off)");
    printf("  [METRICS] METRICS_FILE=%s\n", g_cMetricsFile[0] ? g_cMetricsFile : "(off)");
    printf("  [ACTION] ACTION_MODE=%s\n", g_iActionMode == ACTION_OBSERVE ? "OBSERVE" : "REMOVE");
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// A temporary file without a name, for ldd's output.
int iAnonymousFile() {
    const char *dir = getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") + "/kestrun-check-XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(name.c_str());
    return fd;
}

void vMissingDependency(const char *path) {
    vSay("library", SETTINGS_NOTE_ERROR, "a dependency is missing: %s", path);
}

// ldd's output, up to a few lines, to show why the check failed.
void vShowLddOutput(FILE *out) {
    char line[512];
    for (int n = 0; n < 5 && fgets(line, sizeof line, out) != nullptr; n++)
        printf("library:   %s%s", line, strchr(line, '\n') ? "" : "\n");
}

void vLibraryCheck() {
    char libPath[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(libPath, g_cLibFileName);
    printf("library: %s\n", libPath);
    Fd out(iAnonymousFile());
    if (out.fd < 0) {
        vSay("library", SETTINGS_NOTE_ERROR, "no temporary file for the dependency check: %s",
             strerror(errno));
        return;
    }
    int status = iLddToDescriptor(libPath, out.fd);
    int lastErrno = 0;
    int missing = 0;
    if (lseek(out.fd, 0, SEEK_SET) == 0) {
        FilePtr read(fdopen(dup(out.fd), "r"));
        if (read && status != 0)
            vShowLddOutput(read.get());
        else if (read)
            missing = iMissingDependencies(read.get(), &lastErrno, vMissingDependency);
    }
    if (status != 0) {
        vSay("library", SETTINGS_NOTE_ERROR,
             "the dependency check (ldd) failed with status %d: the daemon would end with 5006",
             status);
        return;
    }
    if (missing > 0)
        return;
    printf("library: every dependency found\n");
    void *lib = dlopen(libPath, RTLD_LAZY);
    if (lib == nullptr) {
        const char *why = dlerror();
        vSay("library", SETTINGS_NOTE_ERROR, "cannot be loaded: %s", why ? why : "");
        return;
    }
    if (dlsym(lib, LIB_ENTRY_NAME) == nullptr)
        vSay("library", SETTINGS_NOTE_ERROR, "loaded, but it has no %s", LIB_ENTRY_NAME);
    else
        printf("library: loaded, %s found (no controller command sent)\n", LIB_ENTRY_NAME);
    dlclose(lib);
}

bool bExecutable(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// What the system will make of the program: an executable, or a script whose
// "#!" line names an interpreter that is there and may be run.
void vProgramFormat(const char *program) {
    char head[256] = {};
    ssize_t n = -1;
    {
        Fd fd(open(program, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd.fd >= 0)
            n = read(fd.fd, head, sizeof head - 1);
    }
    if (n < 0) {
        vSay("alert program", SETTINGS_NOTE_ERROR, "%s cannot be read: %s", program,
             strerror(errno));
        return;
    }
    if (n >= 4 && memcmp(head, "\177ELF", 4) == 0) {
        printf("alert program: %s, an executable\n", program);
        return;
    }
    if (n < 2 || head[0] != '#' || head[1] != '!') {
        vSay("alert program", SETTINGS_NOTE_ERROR,
             "%s is neither an executable nor a script starting with #!: it cannot be run",
             program);
        return;
    }
    char *line = head + 2;
    line[strcspn(line, "\n")] = '\0';
    if (strchr(line, '\r') != nullptr) {
        vSay("alert program", SETTINGS_NOTE_ERROR,
             "the #! line of %s ends in a carriage return: the interpreter's name would include "
             "it",
             program);
        return;
    }
    char *interp = line + strspn(line, " \t");
    interp[strcspn(interp, " \t")] = '\0';
    if (interp[0] == '\0')
        vSay("alert program", SETTINGS_NOTE_ERROR, "the #! line of %s names no interpreter",
             program);
    else if (!bExecutable(interp))
        vSay("alert program", SETTINGS_NOTE_ERROR,
             "the interpreter of %s, %s, is missing or cannot be run", program, interp);
    else
        printf("alert program: %s, a script for %s\n", program, interp);
}

void vAlertCheck() {
    if (g_cNotifyProgramTooLong[0] != '\0') {
        vSay("alert program", SETTINGS_NOTE_ERROR,
             "NOTIFY_PROGRAM is refused (longer than %d characters): 6200 at start, no alert",
             LIB_NAME_SIZE - 1);
        return;
    }
    if (!bAlertOn()) {
        printf("alert program: off\n");
        return;
    }
    int error = iAlertStart(gcModulePath); // the daemon's own start check
    if (error != 0) {
        vSay("alert program", SETTINGS_NOTE_ERROR, "%s cannot be run: %s (6200, Error Code %d)",
             g_cNotifyProgram, strerror(error), error);
        return;
    }
    vProgramFormat(g_cNotifyProgram);
}

void vMetricsCheck() {
    if (g_cMetricsFileTooLong[0] != '\0') {
        vSay("metrics", SETTINGS_NOTE_ERROR,
             "METRICS_FILE is refused (longer than %d characters): 6300 at start, no file",
             LIB_NAME_SIZE - 1);
        return;
    }
    if (g_cMetricsFile[0] == '\0') {
        printf("metrics: off\n");
        return;
    }
    if (g_cMetricsFile[0] != '/') {
        vSay("metrics", SETTINGS_NOTE_ERROR, "%s is not an absolute path (6300, Error Code %d)",
             g_cMetricsFile, EINVAL);
        return;
    }
    const char *slash = strrchr(g_cMetricsFile, '/');
    std::string dir(g_cMetricsFile, slash == g_cMetricsFile ? 1 : slash - g_cMetricsFile);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        vSay("metrics", SETTINGS_NOTE_ERROR, "the directory %s does not exist", dir.c_str());
        return;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        vSay("metrics", SETTINGS_NOTE_ERROR, "the directory %s is not writable: %s", dir.c_str(),
             strerror(errno));
        return;
    }
    if (lstat(g_cMetricsFile, &st) == 0 && S_ISDIR(st.st_mode)) {
        vSay("metrics", SETTINGS_NOTE_ERROR, "%s is a directory", g_cMetricsFile);
        return;
    }
    printf("metrics: the directory %s is writable\n", dir.c_str());
}

} // namespace

int iConfigCheck(const char *argv0, const char *file) {
    g_tally = Tally{};
    if (!iModulePathSet(argv0)) {
        vSay("Kestrun", SETTINGS_NOTE_ERROR, "no module directory of at most 255 characters");
        return EXIT_STATUS_INSTALL;
    }
    char path[MODULE_FILE_PATH_SIZE];
    if (file != nullptr)
        snprintf(path, sizeof path, "%s", file);
    else
        vModuleFilePath(path, INI_FILE_NAME);
    printf("module directory: %s\nsettings: %s\n", gcModulePath, path);

    vSettingsDefault();
    SettingsNotes notes{vFileNote, path};
    if (iIniFileReadPath(path, &notes) <= 0)
        printf("%s: the daemon would not start (2000); the checks below use the defaults\n", path);
    vEffectiveSettings();
    vLibraryCheck();
    vAlertCheck();
    vMetricsCheck();
    printf("result: %d warnings, %d errors\n", g_tally.warnings, g_tally.errors);
    fflush(stdout);
    return g_tally.errors > 0     ? EXIT_STATUS_INSTALL
           : g_tally.warnings > 0 ? EXIT_STATUS_CHECK_WARNINGS
                                  : EXIT_STATUS_STOPPED;
}
