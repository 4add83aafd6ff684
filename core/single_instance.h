// One monitor per module directory: an exclusive flock on the directory
// itself, held for the life of the process. No lock file, no pid file.
#pragma once

// Returns 1 when the start may go on: the lock is held, or the directory
// cannot be locked at all (reported as 6011). Returns 0 when another process
// holds it (6010 has been reported on syslog and standard error).
int iInstanceLock();

// Before the restart in place executes the binary again: the lock's
// descriptor stays open across the exec and its number is passed in the
// environment, where iInstanceLock of the new image takes it over.
void vInstanceLockHandOver();
