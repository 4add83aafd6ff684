// The command line: --help, --version, --register and --retire.
#pragma once

// Returns -1 when the daemon is to start (no argument). Otherwise the request
// has been answered (--help, --version on standard output; anything else a
// usage line on standard error) and the result is the exit status to end with.
// --help and --version touch nothing else; --register reads the register and
// --retire rewrites it (core/register_command.h). Neither loads the library,
// logs or takes the monitor's place.
int iArgumentsCheck(int argc, char **argv);
