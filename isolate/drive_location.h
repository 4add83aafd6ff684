// Naming the drive a message is about: its bay and identity, taken from the
// drive-information read the caller has just made (no extra command).
#pragma once

#include "storage/drive_identity.h"

// Takes the identity from tPhysInfo, which must hold a read of this drive,
// and hands it to the alert program's drive scope.
void vDriveNoted(int controller, int deviceId);

// The identity last noted for this drive, or nullptr.
const DriveIdentity *pDriveNoted(int controller, int deviceId);

// The location line (6500) after a message about a noted drive; nothing for a
// drive not noted.
void vDriveLocationLine(int controller, int deviceId, bool syslogAlways = false);
