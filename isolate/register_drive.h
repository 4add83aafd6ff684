// Registering a drive that is about to be removed: its identity record, then
// its register line, both synced before the first state-changing command.
#pragma once

#include "isolate/register.h"
#include "isolate/register_identity.h"

#include <vector>

struct DriveMark {
    RegisterMark line;
    bool recorded = false;
    long long identityBefore = 0;
    long long identityAfter = 0;
    char identityPath[IDENTITY_PATH_SIZE] = "";
};

// The record carries the identity last noted for the drive (nothing known:
// a record without identity, so that no older record of the same drive is
// taken for this one) and the reason's name. A record that cannot be written
// is reported (6502); the line is written all the same. Returns what
// iRegisterBeforeChange returns.
int iRegisterDrive(int controller, int deviceId, const char *reason, DriveMark *mark);

// Takes back the line and then the record, for a removal that changed nothing.
void vRegisterDriveTakeBack(const DriveMark &mark);

// Start-up judgement of one register line whose drive may have a record:
//   0, -1, 2, 3 as iStateChkSet (set bad again / failed to / another state,
//     line dropped / unreadable);
//   4 the recorded drive itself, still unconfigured-bad or failed: kept;
//   5 another drive now answers to the device id (a replacement): left
//     alone, line retired (6501).
// Without a record, or when the drive or the record names no identity, the
// rules are those of iStateChkSet exactly.
int iStateChkSetDrive(int controller, int deviceId, const IdentityRecord *record);
constexpr int STATE_CHK_KEPT = 4;
constexpr int STATE_CHK_REPLACED = 5;

// The identity records through one start-up pass: loaded before the first
// line is judged, and after the new register has replaced the old one,
// rewritten with the records of the lines that stayed. Records that cannot
// be read are judged as absent and the file is then left as it is.
class IdentityPass {
  public:
    explicit IdentityPass(const char *registerPath);
    // iStateChkSetDrive with the line's record.
    int iJudge(int controller, int deviceId);
    // The line stays: so does its record.
    void vKeep(int controller, int deviceId);
    // The new register is in place.
    void vFinish();

  private:
    char path_[IDENTITY_PATH_SIZE];
    bool usable_ = false;
    std::vector<IdentityRecord> records_, kept_;
};
