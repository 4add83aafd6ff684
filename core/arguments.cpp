#include "core/arguments.h"

#include "core/check.h"
#include "core/exit_status.h"
#include "core/register_command.h"
#include "core/test_alert.h"
#include "core/version.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *USAGE =
    "Usage: Kestrun [--help | --version | --check [FILE] | --test-alert | "
    "--register | --retire CONTROLLER,DEVICE]\n";

} // namespace

int iArgumentsCheck(int argc, char **argv) {
    if (argc <= 1 || argv == nullptr)
        return -1;
    const char *arg = argv[1];
    if (argc == 2 && arg != nullptr && strcmp(arg, "--version") == 0) {
        printf("Kestrun %s\n", VERSION_TEXT);
        return EXIT_STATUS_STOPPED;
    }
    if (argc == 2 && arg != nullptr && strcmp(arg, "--register") == 0)
        return iRegisterCommand(argv[0]);
    if (arg != nullptr && strcmp(arg, "--retire") == 0)
        return iRetireCommand(argv[0], argc == 3 ? argv[2] : nullptr);
    bool check = arg != nullptr && strcmp(arg, "--check") == 0;
    if (check && argc <= 3)
        return iConfigCheck(argv[0], argc == 3 ? argv[2] : nullptr);
    if (argc == 2 && arg != nullptr && strcmp(arg, "--test-alert") == 0)
        return iTestAlert(argv[0]);
    if (argc == 2 && arg != nullptr && strcmp(arg, "--help") == 0) {
        printf("%s", USAGE);
        printf("%s", "\n"
                     "Predictive-failure monitor for the drives behind MegaRAID controllers.\n"
                     "Runs in the foreground until SIGTERM or SIGINT; SIGHUP restarts it in\n"
                     "place to read its settings again. Reads Kestrun.ini and the\n"
                     "controller library from the directory of its executable and writes its\n"
                     "log, register and history files there; one instance per directory.\n"
                     "\n"
                     "  --check [FILE]  check the settings (default: Kestrun.ini of the module\n"
                     "                  directory) as the daemon reads them, the library, the\n"
                     "                  alert program and the metrics directory; touches nothing\n"
                     "  --test-alert    run the alert program (NOTIFY_PROGRAM) once with a test\n"
                     "                  message and print how it ended: exit status 0 it exited\n"
                     "                  0, 1 it failed or was killed after 30 seconds, 6 none is\n"
                     "                  configured or it cannot be run\n"
                     "  --register      list the register of removed drives with each drive's\n"
                     "                  recorded identity, bay, reason and time; read-only, may\n"
                     "                  run beside a monitor\n"
                     "  --retire CONTROLLER,DEVICE\n"
                     "                  remove that drive's line (and its identity records) from\n"
                     "                  the register; refused while a monitor runs\n"
                     "\n"
                     "Exit status:\n"
                     "  0    stopped by a signal (or --help, --version; --check: all clean;\n"
                     "       --register printed; --retire retired the line)\n"
                     "  1    --check: warnings only; --retire: the register has no such line;\n"
                     "       the monitor: its restart in place for SIGHUP failed\n"
                     "  2    unknown argument, or --retire without CONTROLLER,DEVICE\n"
                     "  3    another instance already runs on this directory (--retire refused)\n"
                     "  6    configuration or installation problem (Kestrun.ini missing,\n"
                     "       library not loadable; --check: errors); --register, --retire:\n"
                     "       the register cannot be read or rewritten\n"
                     "  7    controller unavailable (controller list or information unreadable)\n"
                     "  255  signal handler not installed, or no module directory of at most\n"
                     "       255 characters\n");
        return EXIT_STATUS_STOPPED;
    }
    // A typo must never start a monitor. Named: the first word not understood.
    bool firstKnown =
        arg != nullptr && (strcmp(arg, "--version") == 0 || strcmp(arg, "--help") == 0 ||
                           strcmp(arg, "--test-alert") == 0 || strcmp(arg, "--register") == 0);
    const char *bad = check ? argv[3] : firstKnown ? argv[2] : arg;
    fprintf(stderr, "Kestrun: unknown argument \"%s\"\n%s", bad != nullptr ? bad : "", USAGE);
    return EXIT_STATUS_USAGE;
}
