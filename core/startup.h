// Process start-up: signal actions and the entry.
#pragma once

#include <csignal>

extern struct sigaction g_signal[2]; // [0] SIGINT, [1] SIGTERM

void vsignal_int(int sig, siginfo_t *info, void *context);
void vsignal_term(int sig, siginfo_t *info, void *context);

// Installs the SIGINT and SIGTERM actions, then SIGHUP (restart in place),
// SIGUSR1 (next cycle now), SIGUSR2 and SIGALRM (ignored with a warning) and
// ignores SIGPIPE; returns 0, or the number of the signal whose action could
// not be installed.
int iSignalSet();

// SIGHUP's end of a run: logs 6022, waits for running alert programs, hands
// the single-instance lock over and executes the same binary with the same
// arguments (same process id). Returns only when that failed (6023 logged,
// exit status EXIT_STATUS_RESTART).
void vRestartInPlace(char **argv);

// The whole life of the process; ends it through exit().
[[noreturn]] void vKestrunMain(int argc, char **argv);
