#include "core/test_alert.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "core/exit_status.h"
#include "process/process.h"

#include <cstdio>
#include <cstring>
#include <sys/wait.h>

namespace {

constexpr int TEST_MESSAGE_ID = 6203;
constexpr const char *TEST_MESSAGE =
    "<6203:Warning> Test alert from Kestrun --test-alert: no drive is affected.";

} // namespace

int iTestAlert(const char *argv0) {
    vSettingsDefault();
    if (!iModulePathSet(argv0)) {
        fprintf(stderr, "Kestrun: no module directory of at most 255 characters.\n");
        return EXIT_STATUS_INSTALL;
    }
    if (iIniFileRead() <= 0) {
        fprintf(stderr, "Kestrun: %s/%s cannot be read.\n", gcModulePath, INI_FILE_NAME);
        return EXIT_STATUS_INSTALL;
    }
    if (g_cNotifyProgramTooLong[0] != '\0') {
        fprintf(stderr, "Kestrun: alert program path longer than 255 characters, refused: %s\n",
                g_cNotifyProgramTooLong);
        return EXIT_STATUS_INSTALL;
    }
    if (!bAlertOn()) {
        fprintf(stderr, "Kestrun: no alert program configured (NOTIFY_PROGRAM in [NOTIFY]).\n");
        return EXIT_STATUS_INSTALL;
    }
    const char *program = g_cNotifyProgram;
    int err = iAlertStart(gcModulePath);
    if (err != 0) {
        fprintf(stderr, "Kestrun: alert program %s cannot be run: %s. Error Code (%d)\n", program,
                strerror(err), err);
        return EXIT_STATUS_INSTALL;
    }
    int status = 0;
    bool killed = false;
    err = iAlertRunOnce(TEST_MESSAGE_ID, "Warning", TEST_MESSAGE, &status, &killed);
    if (err != 0) {
        printf("Alert program %s could not be executed: %s. Error Code (%d)\n", program,
               strerror(err), err);
        return EXIT_STATUS_TEST_FAILED;
    }
    if (killed) {
        printf("Alert program %s killed after running %d seconds.\n", program,
               ALERT_LIMIT_MS / 1000);
        return EXIT_STATUS_TEST_FAILED;
    }
    if (WIFEXITED(status)) {
        printf("Alert program %s exited with status %d.\n", program, WEXITSTATUS(status));
        return WEXITSTATUS(status) == 0 ? EXIT_STATUS_STOPPED : EXIT_STATUS_TEST_FAILED;
    }
    printf("Alert program %s ended by signal %d.\n", program, WTERMSIG(status));
    return EXIT_STATUS_TEST_FAILED;
}
