// Event-log scan: command-timeout and check-condition events per drive.
#pragma once

constexpr int EVENT_BATCH_MAX = 32;

int iAErrorChk();
int iHddChk(int controller, int deviceId, void *eventList, int reason, int k);

// The sense filter for a code-113 event: 1 keeps the event, 0 leaves it out.
int iSenseKeep(unsigned senseKey, unsigned senseCode, unsigned senseQualifier);
