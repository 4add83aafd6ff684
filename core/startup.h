// Process start-up: module directory, stop flag, signal actions, entry.
#pragma once

#include <csignal>

constexpr int MODULE_PATH_SIZE = 256; // at most 255 characters and a terminator

extern char gcModulePath[MODULE_PATH_SIZE];
extern volatile sig_atomic_t g_iSignalRecv;
extern struct sigaction g_signal[2]; // [0] SIGINT, [1] SIGTERM

void vsignal_int(int sig, siginfo_t *info, void *context);
void vsignal_term(int sig, siginfo_t *info, void *context);

// Fills gcModulePath from argv[0]; returns 1 on success, 0 when no directory of
// at most 255 characters could be found.
int iModulePathSet(const char *argv0);

// Installs the SIGINT and SIGTERM actions; returns 0, or the number of the
// signal whose action could not be installed.
int iSignalSet();

// The whole life of the process; ends it through exit().
[[noreturn]] void vKestrunMain(int argc, char **argv);
