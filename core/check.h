// Kestrun --check: the settings as the daemon reads them, and whether what
// they name can work, on standard output. Touches nothing: no lock, no log
// line, no syslog, no file in the module directory.
#pragma once

// `argv0` finds the module directory as for a start; `file` replaces its
// Kestrun.ini when given. Returns the exit status: 0 clean, 1 warnings
// only, 6 errors.
int iConfigCheck(const char *argv0, const char *file);
