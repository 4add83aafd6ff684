// Loading and unloading the controller library.
#pragma once

#include <cstdio>

constexpr const char *WORK_FILE_NAME = "Work.txt";
constexpr const char *LIB_ENTRY_NAME = "ProcessLibCommand";

extern void *hLib;

// Checks the library's dependencies with ldd (output in Work.txt), loads it and
// finds its entry. 0 on success, -1 on failure with errno set for the report.
int iLib_Link();

// Unloads the library if it is loaded; a failing dlclose is reported with
// message 5008 and `label`. hLib is null afterwards.
void vLibUnload(const char *label);

// Counts the paths named in the dependency-check output that do not exist;
// *lastErrno receives the error of the last one missing, and `missing` (when
// given) each of them.
int iMissingDependencies(FILE *work, int *lastErrno, void (*missing)(const char *path) = nullptr);

// The dependency check with ldd's output and errors sent to the open
// descriptor `out` instead of Work.txt: nothing named is written. The wait
// status, or -1 when ldd could not be started.
int iLddToDescriptor(const char *libPath, int out);

// Exit clean-up: frees the drive-list buffer and unloads the library if held.
void vend_test();
