// Process start-up: signal actions and the entry.
#pragma once

#include <csignal>

extern struct sigaction g_signal[2]; // [0] SIGINT, [1] SIGTERM

void vsignal_int(int sig, siginfo_t *info, void *context);
void vsignal_term(int sig, siginfo_t *info, void *context);

// Installs the SIGINT and SIGTERM actions; returns 0, or the number of the
// signal whose action could not be installed.
int iSignalSet();

// The whole life of the process; ends it through exit().
[[noreturn]] void vKestrunMain(int argc, char **argv);
