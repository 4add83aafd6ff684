// Event-log scan: command-timeout and check-condition events per drive.
#pragma once

constexpr int EVENT_BATCH_MAX = 32;
// Events one cycle reads per controller at most (256 batches). A larger
// backlog is a jump of the controller's counter or a storm far beyond every
// threshold: only its newest EVENT_CYCLE_MAX events are read, the older ones
// are skipped with warning 6020, so the scan never falls behind the log.
constexpr int EVENT_CYCLE_MAX = 256 * EVENT_BATCH_MAX;

int iAErrorChk();
int iHddChk(int controller, int deviceId, void *eventList, int reason, int k);

// The sense filter for a code-113 event: 1 keeps the event, 0 leaves it out.
int iSenseKeep(unsigned senseKey, unsigned senseCode, unsigned senseQualifier);
