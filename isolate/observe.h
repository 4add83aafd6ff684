// Observe mode: the removal's decision without its commands. A drive that
// would be removed is reported once per run and left in service.
#pragma once

// Called by the removal in place of taking the drive out. Reads the drive (and,
// for an online member, its logical drives) exactly as the removal does, never
// changes anything. Returns 1 like the removal.
int iObserveDrive(int controller, int deviceId, int reason);
