// The numbered message catalogue: log file, syslog, one function per message.
#pragma once

constexpr int MESSAGE_SIZE = 640;
constexpr const char *LOG_FILE_NAME = "PredictiveFailure.log";

void vOutputSyslog(int priority, const char *text);
int iPredictiveLogOut(const char *text);

// Starts a new cycle for the log-file fallback: a message that could not be
// written to the log file goes to syslog instead, once per number per cycle.
void vLogFallbackReset();

void vLogID1000_Output(const char *version);
void vLogID1001_Output(const char *modes);
void vLogID1010_Output();
void vLogID2000_Output();
void vLogID4000_Output(const char *spareText);
void vLogID4001_Output(int deviceId);
void vLogID4101_Output(int deviceId);
void vLogID4500_Output(int deviceId);
void vLogID4501_Output(int deviceId);
void vLogID4502_Output(int deviceId);
void vLogID4600_Output(int deviceId);
void vLogID4601_Output(int deviceId);
void vLogID4700_Output(const char *spareText);
void vLogID4800_Output(int deviceId);
void vLogID4801_Output(int deviceId);
void vLogID5002_Output(const char *name, int error);
void vLogID5003_Output(const char *name, int status);
void vLogID5004_Output(const char *name, int status);
void vLogID5006_Output(const char *name, int error);
void vLogID5007_Output(const char *name, int status);
void vLogID5008_Output(const char *name, int error);
void vLogID5009_Output(const char *fileName, const char *name, int error);
void vLogID5010_Output(const char *name, int status);
void vLogID5011_Output(const char *signalName);
void vLogID5012_Output(int controller, const char *name, int status);
// Start refused: syslog and standard error only (see docs/messages.md).
void vLogID6010_Output(const char *moduleDir);
void vLogID6011_Output(const char *moduleDir, int error);
void vLogID6000_Output(int controller, int ldNumber, int deviceId, bool unreadable);
// A backlog beyond what one cycle reads: `skipped` events, first..last, left
// out and the newest `read` read.
void vLogID6020_Output(int controller, unsigned long long skipped, unsigned first, unsigned last,
                       int read);
void vLogID6021_Output();
void vLogID6022_Output();
void vLogID6023_Output(int error);
void vLogID6024_Output(const char *signalName);
void vLogID6001_Output();
void vLogID6002_Output(int controller, int deviceId);
void vLogID6200_Output(const char *program, int error);
void vLogID6201_Output(unsigned skipped);
void vLogID6202_Output(int killed);
void vLogID6300_Output(const char *file, int error);
void vLogID6400_Output();
void vLogID6401_Output(int controller, int deviceId, const char *mode, const char *role);
void vLogID6402_Output(const char *value);
// The bay and identity of the drive the message before it was about. It goes
// to syslog as that message did: always, or with APPLOG_SWITCH.
void vLogID6500_Output(int controller, int deviceId, int enclosure, int slot,
                       unsigned long long sasAddress, const char *drive, bool syslogAlways);
void vLogID6501_Output(int controller, int deviceId, unsigned long long removedSas,
                       const char *removedDrive, unsigned long long nowSas, const char *nowDrive,
                       int enclosure, int slot);
void vLogID6502_Output(const char *fileName, const char *name, int error);
// A drive that a detection mode cannot watch: its controller is beyond the
// tables' `limit` controllers (`beyondTables`), or all `limit` drive slots of
// its controller are in use.
void vLogID6600_Output(int controller, int deviceId, const char *mode, bool beyondTables,
                       int limit);

// Reaps finished alert programs, kills those past their limit and reports
// what the alert program could not do since the last call.
void vAlertService();
