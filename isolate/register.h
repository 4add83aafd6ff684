// The register of removed drives, "PdState_Flag.dat" in the module directory.
#pragma once

constexpr const char *REGISTER_FILE_NAME = "PdState_Flag.dat";
constexpr const char *REGISTER_COPY_NAME = "PdState_Flag.bak";
constexpr const char *REGISTER_NEW_NAME = "PdState_Flag.new";

// Appends "controller,deviceId" (device id as signed 16 bits) unless present.
// 1 when the line was appended or already there, 0 when the file could not be
// opened or the line not written (message 5009; the file is left as it was).
int iHSPFileMake(int controller, int deviceId);

// Re-applies the register at start-up. 1 when there is no register or the pass
// ran to its end, 0 when a file could not be opened or written. Lines left
// unjudged by a stop request are kept. A register that is a symbolic link is
// rewritten where the link points.
int iHspFlgChk();

// Sets a registered drive unconfigured-bad again if it came back unconfigured-
// good: 0 done, -1 the change failed, 2 any other state, 3 unreadable.
int iStateChkSet(int controller, int deviceId);

// Lines of the register that name a drive; 0 when there is no register.
int iRegisterLineCount();

// A register line's drive, by the rules of the start-up pass (fields split at
// ",", CR and LF; device id cut to 16 bits, 0-65535). False when the line
// names no drive.
bool bRegisterLine(const char *line, int *controller, int *deviceId);
