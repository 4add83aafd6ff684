// Registering a drive that is about to be removed: its identity record, then
// its register line, both synced before the first state-changing command.
#pragma once

#include "isolate/register.h"
#include "isolate/register_identity.h"

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
