#include "isolate/register_drive.h"

#include "alert/alert.h"
#include "isolate/drive_location.h"
#include "log/messages.h"
#include "process/process.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

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
    int err =
        iIdentityAppend(mark->identityPath, record, &mark->identityBefore, &mark->identityAfter);
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

int iStateChkSetDrive(int controller, int deviceId, const IdentityRecord *record) {
    int dev = static_cast<int16_t>(deviceId);
    AlertDriveScope scope(controller, deviceId, nullptr);
    if (iGetPhysicalInfo(controller, dev, &tPhysInfo, 2, tErrInfo) != 1) {
        vLogID5007_Output("iStateChkSet", tErrInfo[0]);
        return 3;
    }
    vDriveNoted(controller, deviceId);
    const DriveIdentity *now = pDriveNoted(controller, deviceId);
    int state = tPhysInfo.firmwareState;
    if (record != nullptr && now != nullptr) {
        if (bAnotherDrive(record->id, *now)) {
            vLogID6501_Output(controller, deviceId, record->id.sasAddress, record->id.drive,
                              now->sasAddress, now->drive, now->enclosure, now->slot);
            return STATE_CHK_REPLACED;
        }
        bool same = bIdentityKnown(record->id) && bIdentityKnown(*now);
        if (same && (state == PD_STATE_UNCONFIGURED_BAD || state == PD_STATE_FAILED))
            return STATE_CHK_KEPT;
    }
    if (state != PD_STATE_UNCONFIGURED_GOOD)
        return 2;
    if (iSetState(controller, dev, PD_STATE_UNCONFIGURED_BAD, tPhysInfo.sequenceNumber, 2,
                  tErrInfo) == 1) {
        vLogID4600_Output(deviceId);
        vDriveLocationLine(controller, deviceId);
        return 0;
    }
    vLogID4601_Output(deviceId);
    vDriveLocationLine(controller, deviceId);
    return -1;
}

IdentityPass::IdentityPass(const char *registerPath) {
    vIdentityPath(registerPath, path_, sizeof path_);
    int err = iIdentityLoad(path_, &records_);
    usable_ = err == 0 || err == ENOENT;
    if (!usable_)
        records_.clear();
}

int IdentityPass::iJudge(int controller, int deviceId) {
    return iStateChkSetDrive(controller, deviceId, pIdentityFind(records_, controller, deviceId));
}

void IdentityPass::vKeep(int controller, int deviceId) {
    const IdentityRecord *r = pIdentityFind(records_, controller, deviceId);
    if (r == nullptr || pIdentityFind(kept_, controller, deviceId) != nullptr)
        return;
    try {
        kept_.push_back(*r);
    } catch (...) {
        usable_ = false; // no memory: the file stays as it is
    }
}

void IdentityPass::vFinish() {
    struct stat st {};
    if (!usable_ || (lstat(path_, &st) != 0 && kept_.empty()))
        return;
    int err = iIdentityRewrite(path_, kept_);
    if (err != 0) {
        const char *slash = strrchr(path_, '/');
        vLogID6502_Output(slash != nullptr ? slash + 1 : path_, "iHspFlgChk", err);
    }
}
