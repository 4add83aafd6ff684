#include "isolate/register_drive.h"

#include "isolate/drive_location.h"
#include "log/messages.h"
#include "process/process.h"

#include <cstdio>
#include <cstring>
#include <ctime>

int iRegisterDrive(int controller, int deviceId, const char *reason, DriveMark *mark) {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    vIdentityPath(path, mark->identityPath, sizeof mark->identityPath);
    IdentityRecord record{};
    record.controller = controller;
    record.deviceId = deviceId & 0xFFFF;
    const DriveIdentity *noted = pDriveNoted(controller, deviceId);
    if (noted != nullptr)
        record.id = *noted;
    snprintf(record.reason, sizeof record.reason, "%s", reason);
    record.removedAt = static_cast<long long>(time(nullptr));
    int err = iIdentityAppend(mark->identityPath, record, &mark->identityBefore,
                              &mark->identityAfter);
    mark->recorded = err == 0;
    if (err != 0) {
        const char *slash = strrchr(mark->identityPath, '/');
        vLogID6502_Output(slash != nullptr ? slash + 1 : mark->identityPath, "iHSPFileMake", err);
    }
    int done = iRegisterBeforeChange(controller, deviceId, &mark->line);
    if (done != 1 && mark->recorded) {
        // No line for it: the record would only stand in the way.
        iIdentityCutBack(mark->identityPath, mark->identityBefore, mark->identityAfter);
        mark->recorded = false;
    }
    return done;
}

void vRegisterDriveTakeBack(const DriveMark &mark) {
    vRegisterTakeBack(mark.line);
    if (mark.recorded)
        iIdentityCutBack(mark.identityPath, mark.identityBefore, mark.identityAfter);
}
