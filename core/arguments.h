// The command line: --help and --version, and nothing else.
#pragma once

// Returns -1 when the daemon is to start (no argument). Otherwise the request
// has been answered (--help, --version on standard output; anything else a
// usage line on standard error) and the result is the exit status to end with.
// Touches nothing else: no file, no syslog, no lock.
int iArgumentsCheck(int argc, char **argv);
