// The register of removed drives, "PdState_Flag.dat" in the module directory.
#pragma once

constexpr const char *REGISTER_FILE_NAME = "PdState_Flag.dat";
constexpr const char *REGISTER_NEW_NAME = "PdState_Flag.new";

// Appends "controller,deviceId" (device id as signed 16 bits) unless present.
// 1 when the line was appended or already there, 0 when the file could not be
// opened or the line not written (message 5009; the file is left as it was).
int iHSPFileMake(int controller, int deviceId);

// What registering a drive added to the register, so that a removal that
// then changes nothing can take exactly that back.
struct RegisterMark {
    bool appended = false; // this call added the line (not a duplicate)
    bool created = false;  // ... and created the file
    long long sizeBefore = 0;
    int lineLength = 0;
    char line[72] = ""; // the bytes appended
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

// Registers a drive before its first state-changing command: iHSPFileMake,
// recording in `mark` what was appended. Once a state change has succeeded
// the line stays whatever happens next; a crash in between leaves a line for
// an unchanged drive, which the next start drops when it finds it in use.
int iRegisterBeforeChange(int controller, int deviceId, RegisterMark *mark);

// Cuts the register back to its size before `mark`'s append (removing a file
// that append created), for a removal that ended with no state change. Does
// nothing for a duplicate, or when the file is no longer exactly as left.
void vRegisterTakeBack(const RegisterMark &mark);

// Re-applies the register at start-up. 1 when there is no register or the pass
// ran to its end, 0 when the register could not be read or rewritten (every
// line it could read is judged all the same). A line is dropped only when its
// drive was read and found in another state; lines of drives that could not
// be read, of controllers not listed, or left unjudged by a stop request are
// kept. A register that is a symbolic link is rewritten where the link points.
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
