// Process start-up and the stop-signal handlers.
#include "core/startup.h"

#include "config/settings.h"
#include "core/arguments.h"
#include "core/cycle.h"
#include "core/exit_status.h"
#include "core/single_instance.h"
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

// The directory of the running executable, as the kernel knows it: 1 when
// stored, 0 when it is too long, -1 when it cannot be determined (no /proc).
int iExecutableDirSet() {
    char exe[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", exe, PATH_MAX);
    if (n <= 0)
        return -1;
    if (n >= PATH_MAX)
        return 0; // possibly cut: too long in any case
    exe[n] = '\0';
    const char *slash = strrchr(exe, '/');
    if (slash == nullptr)
        return -1;
    return iStoreModulePath(exe, static_cast<size_t>(slash - exe));
}

} // namespace

// argv[0] cut at its last "/" is the module directory. Two cases have no such
// directory of at most 255 characters, and both fall back to the directory of
// the running executable, which is what an administrator means by "beside the
// binary": a bare name found through PATH (or typed in the module directory),
// and an argv[0] whose directory part is longer than the buffer. When that
// directory is too long as well the start is refused; the working directory
// is taken only for a bare name when the executable's directory cannot be
// determined at all, since for a service it is "/".
int iModulePathSet(const char *argv0) {
    memset(gcModulePath, 0, sizeof gcModulePath);
    if (argv0 != nullptr) {
        const char *slash = strrchr(argv0, '/');
        if (slash != nullptr && iStoreModulePath(argv0, static_cast<size_t>(slash - argv0)))
            return 1;
    }
    int exe = iExecutableDirSet();
    if (exe == 1)
        return 1;
    if (exe < 0 && (argv0 == nullptr || strchr(argv0, '/') == nullptr))
        return iStoreModulePath(".", 1);
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
    int answered = iArgumentsCheck(argc, argv);
    if (answered >= 0)
        exit(answered);

    hLib = nullptr;
    vSettingsDefault();

    if (!iModulePathSet(argc > 0 ? argv[0] : nullptr)) {
        // No directory to log into: say why on syslog and stderr, and refuse.
        const char *text = "Module directory path exceeds 255 characters. Predictive Failure "
                           "monitor has shutdown.";
        vOutputSyslog(LOG_ERR, text);
        fprintf(stderr, "Kestrun: %s\n", text);
        exit(EXIT_STATUS_CANNOT_RUN);
    }

    // Before anything is read or loaded: a second monitor must not even look.
    if (!iInstanceLock())
        exit(EXIT_STATUS_INSTANCE);

    atexit(vend_test);
    iNotifyInit(); // before the handlers, which may use it

    switch (iSignalSet()) {
    case SIGINT:
        vLogID5011_Output("SIGINT");
        exit(EXIT_STATUS_CANNOT_RUN);
    case SIGTERM:
        vLogID5011_Output("SIGTERM");
        exit(EXIT_STATUS_CANNOT_RUN);
    default:
        break;
    }

    if (iIniFileRead() == 0) {
        vLogID2000_Output();
        exit(EXIT_STATUS_INSTALL);
    }

    vLogID1000_Output(VERSION_TEXT);
    vMainProc();
    exit(g_iExitStatus);
}
