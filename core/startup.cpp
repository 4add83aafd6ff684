// Process start-up and the stop-signal handlers.
#include "core/startup.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "core/arguments.h"
#include "core/cycle.h"
#include "core/exit_status.h"
#include "core/single_instance.h"
#include "core/version.h"
#include "log/messages.h"
#include "metrics/metrics.h"
#include "process/process.h"
#include "service/notify.h"
#include "storage/loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <syslog.h>
#include <unistd.h>

#ifdef KESTRUN_COVERAGE_BUILD
extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);
#endif

struct sigaction g_signal[2];

void vsignal_int(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    g_iReloadRecv = 0; // a stop wins over a reload
    vNotifyStopping();
}

void vsignal_term(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    g_iReloadRecv = 0;
    vNotifyStopping();
}

namespace {

// SIGHUP: wind down as for a stop (the removal in progress completes), then
// execute again; ignored once a stop was requested.
void vSignalHup(int, siginfo_t *, void *) {
    if (g_iSignalRecv == 1 && g_iReloadRecv == 0)
        return;
    g_iReloadRecv = 1;
    g_iSignalRecv = 1;
    vNotifyReloading();
}

void vSignalUsr1(int, siginfo_t *, void *) {
    g_iWakeRecv = 1;
}

void vSignalIgnored(int sig, siginfo_t *, void *) {
    if (sig == SIGUSR2)
        g_iUsr2Recv = 1;
    else
        g_iAlrmRecv = 1;
}

int iInstall(int sig, void (*handler)(int, siginfo_t *, void *)) {
    struct sigaction action {};
    action.sa_sigaction = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    return sigaction(sig, &action, nullptr);
}

// The signals a restart in place blocks across the exec, so that none of them
// finds the new image before its handlers are in place.
void vHandledSet(sigset_t *set) {
    sigemptyset(set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(set, sig);
}

} // namespace

// Every signal the daemon handles; none of them ends it silently.
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
    if (iInstall(SIGHUP, vSignalHup) != 0)
        return SIGHUP;
    if (iInstall(SIGUSR1, vSignalUsr1) != 0)
        return SIGUSR1;
    if (iInstall(SIGUSR2, vSignalIgnored) != 0)
        return SIGUSR2;
    if (iInstall(SIGALRM, vSignalIgnored) != 0)
        return SIGALRM;
    // A library or child writing to a pipe whose reader has gone gets EPIPE.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0)
        return SIGPIPE;
    // Blocked by the image that executed this one: delivered from now on.
    sigset_t handled;
    vHandledSet(&handled);
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
    return 0;
}

void vRestartInPlace(char **argv) {
    vLogID6022_Output();
    // Alert programs started by this image are waited for (their time limit
    // bounds it): the new image would never reap them.
    while (iAlertRunning() > 0) {
        vNotifyAlive();
        sleep(1);
        vAlertService();
    }
    sigset_t handled, before;
    vHandledSet(&handled);
    sigprocmask(SIG_BLOCK, &handled, &before);
    vInstanceLockHandOver();
#ifdef KESTRUN_COVERAGE_BUILD
    __gcov_dump(); // an exec ends this image's counters without an exit
#endif
    execv("/proc/self/exe", argv);
    int err = errno;
#ifdef KESTRUN_COVERAGE_BUILD
    __gcov_reset(); // counted from here on, dumped again at the exit
#endif
    sigprocmask(SIG_SETMASK, &before, nullptr);
    vLogID6023_Output(err);
    g_iExitStatus = EXIT_STATUS_RESTART;
}

void vKestrunMain(int argc, char **argv) {
    int answered = iArgumentsCheck(argc, argv);
    if (answered >= 0)
        exit(answered);

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
    vNotifyStarting();

    int failed = iSignalSet();
    if (failed != 0) {
        const char *name = failed == SIGINT    ? "SIGINT"
                           : failed == SIGTERM ? "SIGTERM"
                           : failed == SIGHUP  ? "SIGHUP"
                           : failed == SIGUSR1 ? "SIGUSR1"
                           : failed == SIGUSR2 ? "SIGUSR2"
                           : failed == SIGALRM ? "SIGALRM"
                                               : "SIGPIPE";
        vLogID5011_Output(name);
        exit(EXIT_STATUS_CANNOT_RUN);
    }

    // A file-size limit makes a write beyond it fail (and be reported) rather
    // than end the daemon.
    signal(SIGXFSZ, SIG_IGN);

    int settings = iIniFileRead();
    if (settings == 0) {
        vLogID2000_Output();
        exit(EXIT_STATUS_INSTALL);
    }
    if (settings < 0) {
        vLogID6021_Output();
        exit(EXIT_STATUS_INSTALL);
    }

    vMetricsStart(static_cast<long long>(time(nullptr)), VERSION_TEXT);
    int alertError = iAlertStart(gcModulePath);
    vLogID1000_Output(VERSION_TEXT);
    if (g_cNotifyProgramTooLong[0] != '\0')
        vLogID6200_Output(g_cNotifyProgramTooLong, ENAMETOOLONG);
    else if (alertError != 0)
        vLogID6200_Output(g_cNotifyProgram, alertError);
    if (g_cMetricsFileTooLong[0] != '\0')
        vLogID6300_Output(g_cMetricsFileTooLong, ENAMETOOLONG);
    if (g_cActionModeUnknown[0] != '\0')
        vLogID6402_Output(g_cActionModeUnknown);
    vMainProc();
    // A reload only after a run that wound down as for a stop: a start that
    // failed ends with its own status.
    if (g_iReloadRecv == 1 && g_iExitStatus == EXIT_STATUS_STOPPED)
        vRestartInPlace(argv);
    exit(g_iExitStatus);
}
