// Prometheus text file: what the cycle saw, written once per cycle for the
// node exporter's textfile collector. Recording costs no controller command:
// the scans hand over what they already read.
#pragma once

#include <cstdint>

enum MetricsReason { METRICS_SMART, METRICS_MEDIUM, METRICS_AERROR, METRICS_REASONS };
enum MetricsRole { METRICS_MEMBER, METRICS_SPARE, METRICS_REBUILDING, METRICS_ROLES };
enum MetricsCommand {
    METRICS_CMD_CONTROLLER_LIST,
    METRICS_CMD_CONTROLLER_INFO,
    METRICS_CMD_PD_LIST,
    METRICS_CMD_PD_INFO,
    METRICS_CMD_REBUILD_CANCEL,
    METRICS_CMD_SPARE_INFO,
    METRICS_CMD_REMOVE_SPARE,
    METRICS_CMD_PD_LD_LIST,
    METRICS_CMD_SET_STATE,
    METRICS_CMD_LD_INFO,
    METRICS_CMD_EVENT_INFO,
    METRICS_CMD_EVENT_LIST,
    METRICS_COMMANDS
};

extern const char *const kMetricsReasonNames[METRICS_REASONS]; // SMART, MEDIUM, AERROR
extern const char *const kMetricsRoleNames[METRICS_ROLES];     // member, spare, rebuilding

// One drive read by this cycle's health scan.
struct MetricsDrive {
    int controller;
    int deviceId;
    int firmwareState;
    uint32_t predictiveFailures;
    uint32_t mediaErrors;
    long long aerrorEvents; // -1: AERROR mode off, or the drive not watched by it
    int enclosure;          // the bay, from the same read
    int slot;
};

bool bMetricsOn();

// Counters kept for the whole run.
void vMetricsCommandFailed(MetricsCommand command);
void vMetricsRemoval(MetricsReason reason, MetricsRole role);
void vMetricsRemovalFailed(MetricsReason reason);
void vMetricsWouldRemove(MetricsReason reason, MetricsRole role);
// A drive that a mode (MEDIUM or AERROR) cannot watch, once per drive and run.
void vMetricsUncovered(MetricsReason mode);
// The guard's verdict on a member about to be removed: kept in service
// (message 6000) or let go. A kept drive is listed until a later check lets it
// go, so that the file names every drive that needs someone.
void vMetricsKept(int controller, int deviceId, bool kept);

// Per cycle: the drive list starts empty and gets one entry per drive read.
void vMetricsCycleBegin();
void vMetricsDrive(int controller, int deviceId, int firmwareState, uint32_t predictiveFailures,
                   uint32_t mediaErrors, int enclosure, int slot);
int iMetricsDriveCount();
MetricsDrive *pMetricsDrive(int index);

// Run-wide values: the start time and the version text ("(Ver 5.0.0.4).").
void vMetricsStart(long long startTime, const char *versionText);

// Writes METRICS_FILE through a temporary file in its directory and a rename.
// 0 on success, otherwise the errno of the failing step.
int iMetricsWrite(int controllers, int registerLines, long long now);

void vMetricsReset();
