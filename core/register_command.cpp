#include "core/register_command.h"

#include "core/exit_status.h"
#include "isolate/register.h"
#include "isolate/register_identity.h"
#include "isolate/register_retire.h"
#include "process/files.h"
#include "process/process.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

bool bModuleDir(const char *argv0) {
    if (iModulePathSet(argv0))
        return true;
    fprintf(stderr, "Kestrun: no module directory of at most 255 characters\n");
    return false;
}

void vPrintLine(int controller, int deviceId, const IdentityRecord *r) {
    printf("%d,%d", controller, deviceId);
    if (r == nullptr || !bIdentityKnown(r->id)) {
        printf("  identity not recorded");
        if (r != nullptr)
            printf(", reason %s", r->reason);
        printf("\n");
        return;
    }
    time_t when = static_cast<time_t>(r->removedAt);
    struct tm tmWhen {};
    char stamp[32] = "?";
    if (localtime_r(&when, &tmWhen) != nullptr)
        strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tmWhen);
    printf("  enclosure %d slot %d, SAS address 0x%016llx, drive \"%s\", reason %s, removed %s\n",
           r->id.enclosure, r->id.slot, r->id.sasAddress, r->id.drive, r->reason, stamp);
}

// "CONTROLLER,DEVICE" in decimal; the device id as the register writes it
// (-32768 to 65535).
bool bRetireArgument(const char *text, int *controller, int *deviceId) {
    const char *comma = text != nullptr ? strchr(text, ',') : nullptr;
    if (comma == nullptr || comma == text || comma[1] == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long c = strtol(text, &end, 10);
    if (errno != 0 || end != comma || c < 0 || c > INT_MAX || text[0] == '+' || text[0] == ' ')
        return false;
    long d = strtol(comma + 1, &end, 10);
    if (errno != 0 || *end != '\0' || d < -32768 || d > 65535 || comma[1] == '+' || comma[1] == ' ')
        return false;
    *controller = static_cast<int>(c);
    *deviceId = static_cast<int>(d & 0xFFFF);
    return true;
}

} // namespace

int iRegisterCommand(const char *argv0) {
    if (!bModuleDir(argv0))
        return EXIT_STATUS_CANNOT_RUN;
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        printf("No register: %s\n", path);
        return EXIT_STATUS_STOPPED;
    }
    FilePtr file(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!file) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        fprintf(stderr, "Kestrun: %s cannot be read: %s\n", path, strerror(err));
        return EXIT_STATUS_INSTALL;
    }
    char identityPath[IDENTITY_PATH_SIZE];
    vIdentityPath(path, identityPath, sizeof identityPath);
    std::vector<IdentityRecord> records;
    try {
        int err = iIdentityLoad(identityPath, &records);
        if (err != 0 && err != ENOENT)
            fprintf(stderr, "Kestrun: %s cannot be read: %s\n", identityPath, strerror(err));
    } catch (...) {
        records.clear();
    }
    printf("Register: %s\n", path);
    int lines = 0;
    char line[256];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        int controller = 0;
        int deviceId = 0;
        if (!bRegisterLine(line, &controller, &deviceId))
            continue;
        lines++;
        vPrintLine(controller, deviceId, pIdentityFind(records, controller, deviceId));
    }
    if (ferror(file.get())) {
        fprintf(stderr, "Kestrun: %s cannot be read: %s\n", path, strerror(errno));
        return EXIT_STATUS_INSTALL;
    }
    printf("%d registered drive%s\n", lines, lines == 1 ? "" : "s");
    return EXIT_STATUS_STOPPED;
}

int iRetireCommand(const char *argv0, const char *argument) {
    int controller = 0;
    int deviceId = 0;
    if (!bRetireArgument(argument, &controller, &deviceId)) {
        fprintf(stderr, "Kestrun: --retire needs CONTROLLER,DEVICE (e.g. 0,12), not \"%s\"\n",
                argument != nullptr ? argument : "");
        return EXIT_STATUS_USAGE;
    }
    if (!bModuleDir(argv0))
        return EXIT_STATUS_CANNOT_RUN;
    // The monitor's own lock: held by a running monitor, held by us while we
    // rewrite (a monitor starting meanwhile is refused). A directory that
    // cannot be locked at all does not lock out the monitor either.
    int lock = open(gcModulePath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(lock);
        fprintf(stderr,
                "Kestrun: a monitor is running on %s; stop it first. Nothing was changed.\n",
                gcModulePath);
        return EXIT_STATUS_INSTANCE;
    }
    int error = 0;
    int identityError = 0;
    RetireResult result = eRegisterRetire(controller, deviceId, &error, &identityError);
    if (lock >= 0)
        close(lock);
    switch (result) {
    case RETIRE_DONE:
        printf("Retired register line %d,%d.\n", controller, deviceId);
        if (identityError != 0)
            fprintf(stderr, "Kestrun: its identity records could not be removed: %s\n",
                    strerror(identityError));
        return EXIT_STATUS_STOPPED;
    case RETIRE_NO_LINE:
        fprintf(stderr, "Kestrun: the register has no line %d,%d. Nothing was changed.\n",
                controller, deviceId);
        return EXIT_STATUS_NO_LINE;
    default:
        fprintf(stderr, "Kestrun: the register cannot be rewritten: %s. Nothing was changed.\n",
                strerror(error));
        return EXIT_STATUS_INSTALL;
    }
}
