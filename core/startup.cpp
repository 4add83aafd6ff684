// Process start-up and the stop-signal handlers.
#include "core/startup.h"

#include "config/settings.h"
#include "core/cycle.h"
#include "log/messages.h"
#include "service/notify.h"
#include "storage/loader.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

char gcModulePath[MODULE_PATH_SIZE];
volatile sig_atomic_t g_iSignalRecv = 0;
struct sigaction g_signal[2];

void vsignal_int(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    vNotifyStopping();
}

void vsignal_term(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    vNotifyStopping();
}

namespace {

// Copies the first `len` characters of `dir` into gcModulePath if they fit.
int iStoreModulePath(const char *dir, size_t len) {
    if (len >= MODULE_PATH_SIZE)
        return 0;
    memset(gcModulePath, 0, sizeof gcModulePath);
    memcpy(gcModulePath, dir, len);
    return 1;
}

// The directory of the running executable, as the kernel knows it.
int iExecutableDirSet() {
    char exe[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", exe, PATH_MAX);
    if (n <= 0)
        return 0;
    exe[n] = '\0';
    const char *slash = strrchr(exe, '/');
    if (slash == nullptr)
        return 0;
    return iStoreModulePath(exe, static_cast<size_t>(slash - exe));
}

} // namespace

// argv[0] cut at its last "/" is the module directory. Two cases have no such
// directory of at most 255 characters, and both fall back to the directory of
// the running executable, which is what an administrator means by "beside the
// binary": a bare name found through PATH (or typed in the module directory),
// and an argv[0] whose directory part is longer than the buffer. Only when that
// directory is too long as well is the start refused.
int iModulePathSet(const char *argv0) {
    memset(gcModulePath, 0, sizeof gcModulePath);
    if (argv0 != nullptr) {
        const char *slash = strrchr(argv0, '/');
        if (slash != nullptr && iStoreModulePath(argv0, static_cast<size_t>(slash - argv0)))
            return 1;
    }
    if (iExecutableDirSet())
        return 1;
    if (argv0 == nullptr || strchr(argv0, '/') == nullptr)
        return iStoreModulePath(".", 1); // no /proc: the working directory
    return 0;
}

int iSignalSet() {
    memset(g_signal, 0, sizeof g_signal);
    g_signal[0].sa_sigaction = vsignal_int;
    g_signal[1].sa_sigaction = vsignal_term;
    for (auto &action : g_signal) {
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
    }
    if (sigaction(SIGINT, &g_signal[0], nullptr) != 0)
        return SIGINT;
    if (sigaction(SIGTERM, &g_signal[1], nullptr) != 0)
        return SIGTERM;
    return 0;
}

void vKestrunMain(int argc, char **argv) {
    hLib = nullptr;
    vSettingsDefault();

    if (!iModulePathSet(argc > 0 ? argv[0] : nullptr)) {
        // No directory to log into: say why on syslog and stderr, and refuse.
        const char *text = "Module directory path exceeds 255 characters. Predictive Failure "
                           "monitor has shutdown.";
        vOutputSyslog(LOG_ERR, text);
        fprintf(stderr, "Kestrun: %s\n", text);
        exit(-1);
    }

    atexit(vend_test);
    iNotifyInit(); // before the handlers, which may use it

    switch (iSignalSet()) {
    case SIGINT:
        vLogID5011_Output("SIGINT");
        exit(-1);
    case SIGTERM:
        vLogID5011_Output("SIGTERM");
        exit(-1);
    default:
        break;
    }

    // A file-size limit makes a write beyond it fail (and be reported) rather
    // than end the daemon.
    signal(SIGXFSZ, SIG_IGN);

    if (iIniFileRead() == 0) {
        vLogID2000_Output();
        exit(0);
    }

    vLogID1000_Output(VERSION_TEXT);
    vMainProc();
    exit(0);
}
