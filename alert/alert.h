// The alert program: an operator's program run for every Error-level message
// and every observe-mode report, without ever holding the daemon up.
#pragma once

#include <cstdint>

constexpr int ALERT_RUNNING_MAX = 4;       // programs running at once
constexpr int ALERT_QUEUE_MAX = 32;        // runs waiting for one of those slots
constexpr int ALERT_TEXT_SIZE = 640;       // a message text as logged
constexpr int ALERT_FAILURE_KINDS = 16;    // error codes of failed runs remembered
constexpr int ALERT_LIMIT_MS = 30000;      // killed when running longer
constexpr int ALERT_REPEAT_SECONDS = 3600; // one run per repeated message
constexpr int ALERT_REPEAT_ENTRIES = 128;  // repeats remembered
constexpr const char *ALERT_LIMIT_ENV = "KESTRUN_TEST_ALERT_LIMIT_MS"; // tests only

constexpr int ALERT_DRIVE_TEXT_SIZE = 97;

// The drive the messages raised while a scope is set are about (environment
// KESTRUN_CONTROLLER, KESTRUN_DEVICE_ID, with a reason KESTRUN_REASON, and once
// its identity is known KESTRUN_ENCLOSURE, KESTRUN_SLOT, KESTRUN_SAS_ADDRESS,
// KESTRUN_DRIVE).
struct AlertDrive {
    int controller = 0;
    int deviceId = 0;
    const char *reason = nullptr;
    bool set = false;
    bool located = false;
    int enclosure = 0;
    int slot = 0;
    unsigned long long sasAddress = 0;
    char drive[ALERT_DRIVE_TEXT_SIZE] = "";
};

// Scopes nest: the previous drive comes back when a scope ends.
class AlertDriveScope {
  public:
    AlertDriveScope(int controller, int deviceId, const char *reason);
    ~AlertDriveScope();
    AlertDriveScope(const AlertDriveScope &) = delete;
    AlertDriveScope &operator=(const AlertDriveScope &) = delete;

  private:
    AlertDrive saved_;
};

// The identity of the current scope's drive, as last read.
void vAlertDriveIdentity(int enclosure, int slot, unsigned long long sasAddress, const char *drive);

// Prepares the program named by NOTIFY_PROGRAM for this run. 0 when it is
// usable or none is set; otherwise the reason it cannot run (an errno value,
// EINVAL for a relative path), to be reported once. Alerts stay on after a
// failed check: a program installed later still runs. The module directory
// handed to the program is made absolute here.
int iAlertStart(const char *moduleDir);
bool bAlertOn();

// Runs the program for one logged message unless a repeat within the hour.
// With ALERT_RUNNING_MAX running, the run waits in a queue of ALERT_QUEUE_MAX
// and starts when a slot frees; only a run that finds the queue full is
// skipped (and counted). `severity` is a static text.
void vAlertRun(int messageId, const char *severity, const char *text);

// Reaps finished programs without blocking, kills those past the limit and
// starts waiting runs in the slots freed. Returns how many were killed.
int iAlertReap();

// Programs started and not yet reaped.
int iAlertRunning();

// Runs skipped since the last call.
unsigned uAlertSkippedTake();

// The error code of a run that could not be started, the first of its kind
// in this run of the daemon (the kind found by the start check counts as
// reported); 0 when there is none left to report.
int iAlertFailureTake();

// Runs the program once, past the queue and the repeat filter, and waits for
// it up to the time limit, killing it there. 0 when it was started (its wait
// status in *status, *killed when the limit ended it); otherwise the reason it
// could not be started.
int iAlertRunOnce(int messageId, const char *severity, const char *text, int *status, bool *killed);

// Totals for the metrics.
struct AlertTotals {
    unsigned long long started, skipped, repeats, failed, killed;
};
AlertTotals tAlertTotals();

// Repeat filter: true when `key` was not let through within `windowSeconds`
// before `nowSeconds`; remembers it then. Exposed for the unit tests.
bool bAlertRepeatPass(uint64_t key, long long nowSeconds, long long windowSeconds);
void vAlertReset();
