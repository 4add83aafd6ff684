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
#include <syslog.h>

struct sigaction g_signal[2];

void vsignal_int(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    vNotifyStopping();
}

void vsignal_term(int, siginfo_t *, void *) {
    g_iSignalRecv = 1;
    vNotifyStopping();
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

    // A file-size limit makes a write beyond it fail (and be reported) rather
    // than end the daemon.
    signal(SIGXFSZ, SIG_IGN);

    if (iIniFileRead() == 0) {
        vLogID2000_Output();
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
    exit(g_iExitStatus);
}
