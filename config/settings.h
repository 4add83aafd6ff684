// Settings: one global per key of Kestrun.ini, and the reader.
#pragma once

constexpr int SENSE_KEY_ENTRIES = 100;
constexpr int SENSE_KEY_SIZE = 8;
constexpr int MBOARD_ENTRIES = 10;
constexpr int MBOARD_NAME_SIZE = 80;
constexpr int LIB_NAME_SIZE = 256;
constexpr const char *DEFAULT_LIB_NAME = "libstorelib.so.2.52-0";
constexpr const char *INI_FILE_NAME = "Kestrun.ini";

extern int g_iLWaitTime;
extern int g_iAppLogSwitch;
extern int g_iPreServLogSwitch;
extern int g_iThresholdMode;
extern int g_iThresholdTime;
extern int g_iPollEvent;
extern int g_iSmartMode;
extern int g_iAErrorMode;
extern int g_iAErrorCnt;
extern char g_cAErrSenseKey[SENSE_KEY_ENTRIES][SENSE_KEY_SIZE];
extern int g_iAErrorCntHDD;
extern int g_iAErrorCntSSD;
extern int g_iMErrMode;
extern int g_iMBoardCnt;
extern char g_cMBoardName[MBOARD_ENTRIES][MBOARD_NAME_SIZE];
extern int g_iHistoryCnt;
extern char g_cLibFileName[LIB_NAME_SIZE];
extern int g_iMcTblDiff;

// Additions, each off unless its section is present.
constexpr int ACTION_REMOVE = 0;
constexpr int ACTION_OBSERVE = 1;
extern char g_cNotifyProgram[LIB_NAME_SIZE]; // [NOTIFY] NOTIFY_PROGRAM, empty: off
extern char g_cMetricsFile[LIB_NAME_SIZE];   // [METRICS] METRICS_FILE, empty: off
extern int g_iActionMode;                    // [ACTION] ACTION_MODE

// A value the reader does not take as written. A NOTIFY_PROGRAM or
// METRICS_FILE longer than its entry is refused, not cut: the entry stays
// empty (off) and its first 255 characters are kept here for the report. An
// ACTION_MODE value that is neither OBSERVE... nor REMOVE... means observe
// mode; the value is kept for the warning. Each empty when there is none.
constexpr int ACTION_VALUE_SIZE = 64;
extern char g_cNotifyProgramTooLong[LIB_NAME_SIZE];
extern char g_cMetricsFileTooLong[LIB_NAME_SIZE];
extern char g_cActionModeUnknown[ACTION_VALUE_SIZE];

// Stores the start value of every setting (before anything can log).
void vSettingsDefault();

// Reads <module directory>/Kestrun.ini once; 1 when the file was opened, 0 when
// not, -1 when the name is not a regular file (a FIFO would hang the start, a
// directory would read as empty settings).
int iIniFileRead();

// Whatever the reader ignores, cannot use or takes otherwise than written,
// one note per case, with the line number (0: the file as a whole). Only
// Kestrun --check asks for them; the daemon reads without.
constexpr int SETTINGS_NOTE_WARNING = 1;
constexpr int SETTINGS_NOTE_ERROR = 2;
struct SettingsNotes {
    void (*note)(void *context, int line, int level, const char *text);
    void *context;
};

// iIniFileRead on any file, by the same rules; `notes` may be null.
int iIniFileReadPath(const char *path, const SettingsNotes *notes);
