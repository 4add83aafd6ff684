// Process-wide state that every part of the daemon may use: the module
// directory, the stop flag and the run's start time. Nothing here depends on
// the rest of the daemon.
#pragma once

#include <csignal>

constexpr int MODULE_PATH_SIZE = 256; // at most 255 characters and a terminator
constexpr int DATETIME_SIZE = 24;
// A file name of at most 255 characters joined onto the module directory.
constexpr int MODULE_FILE_PATH_SIZE = MODULE_PATH_SIZE + 256;

extern char gcModulePath[MODULE_PATH_SIZE];
extern volatile sig_atomic_t g_iSignalRecv;
// Set with the stop flag by SIGHUP: once the run has wound down as for a stop,
// the process executes itself again to read its settings. A SIGINT or
// SIGTERM clears it: a stop wins.
extern volatile sig_atomic_t g_iReloadRecv;
// SIGUSR1: the current pause ends and the next cycle starts.
extern volatile sig_atomic_t g_iWakeRecv;
// SIGUSR2 and SIGALRM: ignored, with a warning logged by the cycle.
extern volatile sig_atomic_t g_iUsr2Recv;
extern volatile sig_atomic_t g_iAlrmRecv;
extern char gcDateTime[DATETIME_SIZE];

// Fills gcModulePath from argv[0]; returns 1 on success, 0 when no directory of
// at most 255 characters could be found.
int iModulePathSet(const char *argv0);

// "<module directory>/<name>"; an empty name gives the directory with its "/".
void vModuleFilePath(char (&path)[MODULE_FILE_PATH_SIZE], const char *name);

// Sets gcDateTime to the local time now, as "YYYYMMDD_hhmmss".
void vDateTimeStr();
