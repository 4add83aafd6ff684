// The file is composed in memory with hand-rolled appends (no printf per
// sample: a fleet box has a thousand drives and this runs every cycle), then
// written in one go to ".<name>.tmp" beside the target, which the textfile
// collector ignores (it reads only *.prom), and renamed over the target, so a
// reader sees the old file or the new one, never a part. No fsync: the file
// is rewritten at the next cycle anyway.
#include "metrics/metrics.h"

#include "alert/alert.h"
#include "config/settings.h"
#include "log/append.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char *const kMetricsReasonNames[METRICS_REASONS] = {"SMART", "MEDIUM", "AERROR"};
const char *const kMetricsRoleNames[METRICS_ROLES] = {"member", "spare", "rebuilding"};

namespace {

const char *const kCommandNames[METRICS_COMMANDS] = {
    "controller_list", "controller_info", "pd_list",   "pd_info", "rebuild_cancel", "spare_info",
    "remove_spare",    "pd_ld_list",      "set_state", "ld_info", "event_info",     "event_list"};

unsigned long long g_commandFailures[METRICS_COMMANDS];
unsigned long long g_removals[METRICS_REASONS][METRICS_ROLES];
unsigned long long g_removalFailures[METRICS_REASONS];
unsigned long long g_wouldRemove[METRICS_REASONS][METRICS_ROLES];
unsigned long long g_uncovered[METRICS_REASONS];
unsigned long long g_cycles = 0;
long long g_startTime = 0;
std::string g_version;
std::vector<MetricsDrive> g_drives;
struct KeptDrive {
    int controller;
    int deviceId;
};
constexpr size_t KEPT_MAX = 1024; // as many as the guard remembers
std::vector<KeptDrive> g_kept;
std::string g_out;

void vPut(const char *s) {
    g_out.append(s);
}

void vPutU(unsigned long long v) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        g_out.push_back(digits[--n]);
}

void vPutI(long long v) {
    if (v < 0) {
        g_out.push_back('-');
        vPutU(0ull - static_cast<unsigned long long>(v));
    } else {
        vPutU(static_cast<unsigned long long>(v));
    }
}

void vFamily(const char *name, const char *type, const char *help) {
    vPut("# HELP ");
    vPut(name);
    vPut(" ");
    vPut(help);
    vPut("\n# TYPE ");
    vPut(name);
    vPut(" ");
    vPut(type);
    vPut("\n");
}

void vSample(const char *name, unsigned long long value) {
    vPut(name);
    vPut(" ");
    vPutU(value);
    vPut("\n");
}

// name{key="value",key2="value2"} n
void vLabelled(const char *name, const char *k1, const char *v1, const char *k2, const char *v2,
               unsigned long long value) {
    vPut(name);
    vPut("{");
    vPut(k1);
    vPut("=\"");
    vPut(v1);
    vPut("\"");
    if (k2 != nullptr) {
        vPut(",");
        vPut(k2);
        vPut("=\"");
        vPut(v2);
        vPut("\"");
    }
    vPut("} ");
    vPutU(value);
    vPut("\n");
}

void vDriveFamily(const char *name, const char *help, long long MetricsDrive::*field32,
                  uint32_t MetricsDrive::*fieldU, int MetricsDrive::*fieldI) {
    vFamily(name, "gauge", help);
    for (const MetricsDrive &d : g_drives) {
        if (field32 != nullptr && d.*field32 < 0)
            continue;
        vPut(name);
        vPut("{controller=\"");
        vPutI(d.controller);
        vPut("\",device_id=\"");
        vPutI(d.deviceId & 0xFFFF);
        vPut("\",enclosure=\"");
        vPutI(d.enclosure);
        vPut("\",slot=\"");
        vPutI(d.slot);
        vPut("\"} ");
        if (field32 != nullptr)
            vPutI(d.*field32);
        else if (fieldU != nullptr)
            vPutU(d.*fieldU);
        else
            vPutI(d.*fieldI);
        vPut("\n");
    }
}

void vReasonRoleFamily(const char *name, const char *help,
                       const unsigned long long (&counts)[METRICS_REASONS][METRICS_ROLES]) {
    vFamily(name, "counter", help);
    for (int r = 0; r < METRICS_REASONS; r++)
        for (int o = 0; o < METRICS_ROLES; o++)
            vLabelled(name, "reason", kMetricsReasonNames[r], "role", kMetricsRoleNames[o],
                      counts[r][o]);
}

void vCompose(int controllers, int registerLines, long long now) {
    g_out.clear();
    vFamily("kestrun_build_info", "gauge", "Version of the running daemon.");
    vLabelled("kestrun_build_info", "version", g_version.c_str(), nullptr, nullptr, 1);
    vFamily("kestrun_start_time_seconds", "gauge",
            "Start time of the daemon, seconds since the epoch.");
    vSample("kestrun_start_time_seconds", static_cast<unsigned long long>(g_startTime));
    vFamily("kestrun_last_cycle_time_seconds", "gauge",
            "End of the last completed cycle, seconds since the epoch.");
    vSample("kestrun_last_cycle_time_seconds", static_cast<unsigned long long>(now));
    vFamily("kestrun_cycles_total", "counter", "Monitoring cycles completed.");
    vSample("kestrun_cycles_total", g_cycles);

    vFamily("kestrun_mode_enabled", "gauge", "1 when the mode is on.");
    vLabelled("kestrun_mode_enabled", "mode", "SMART", nullptr, nullptr, g_iSmartMode == 1);
    vLabelled("kestrun_mode_enabled", "mode", "MEDIUM", nullptr, nullptr, g_iMErrMode == 1);
    vLabelled("kestrun_mode_enabled", "mode", "AERROR", nullptr, nullptr, g_iAErrorMode == 1);
    vLabelled("kestrun_mode_enabled", "mode", "OBSERVE", nullptr, nullptr,
              g_iActionMode == ACTION_OBSERVE);
    vFamily("kestrun_controllers", "gauge", "Controllers found at start.");
    vSample("kestrun_controllers",
            static_cast<unsigned long long>(controllers < 0 ? 0 : controllers));

    vDriveFamily("kestrun_drive_firmware_state", "Firmware state code of the drive.", nullptr,
                 nullptr, &MetricsDrive::firmwareState);
    vDriveFamily("kestrun_drive_predictive_failures", "Predictive-failure count of the drive.",
                 nullptr, &MetricsDrive::predictiveFailures, nullptr);
    vDriveFamily("kestrun_drive_media_errors", "Media-error count of the drive.", nullptr,
                 &MetricsDrive::mediaErrors, nullptr);
    vDriveFamily("kestrun_drive_aerror_events",
                 "Command-timeout and check-condition events counted for the drive.",
                 &MetricsDrive::aerrorEvents, nullptr, nullptr);

    vFamily("kestrun_drive_kept_in_service", "gauge",
            "1 for a drive kept in service because a logical drive cannot lose it.");
    for (const KeptDrive &k : g_kept) {
        vPut("kestrun_drive_kept_in_service{controller=\"");
        vPutI(k.controller);
        vPut("\",device_id=\"");
        vPutI(k.deviceId & 0xFFFF);
        vPut("\"} 1\n");
    }

    vReasonRoleFamily("kestrun_removals_total", "Drives removed, by detection mode and role.",
                      g_removals);
    vFamily("kestrun_removal_failures_total", "counter",
            "Removals that failed, by detection mode.");
    for (int r = 0; r < METRICS_REASONS; r++)
        vLabelled("kestrun_removal_failures_total", "reason", kMetricsReasonNames[r], nullptr,
                  nullptr, g_removalFailures[r]);
    vReasonRoleFamily("kestrun_would_remove_total",
                      "Drives observe mode would have removed, by detection mode and role.",
                      g_wouldRemove);
    vFamily("kestrun_unwatched_drives_total", "counter",
            "Drives a detection mode could not watch (message 6600), by mode.");
    for (int r = METRICS_MEDIUM; r < METRICS_REASONS; r++)
        vLabelled("kestrun_unwatched_drives_total", "mode", kMetricsReasonNames[r], nullptr,
                  nullptr, g_uncovered[r]);
    vFamily("kestrun_command_failures_total", "counter",
            "Controller library commands that failed after their retries.");
    for (int c = 0; c < METRICS_COMMANDS; c++)
        vLabelled("kestrun_command_failures_total", "command", kCommandNames[c], nullptr, nullptr,
                  g_commandFailures[c]);
    vFamily("kestrun_register_lines", "gauge", "Lines in the removed-drive register.");
    vSample("kestrun_register_lines",
            static_cast<unsigned long long>(registerLines < 0 ? 0 : registerLines));

    AlertTotals a = tAlertTotals();
    vFamily("kestrun_alert_runs_total", "counter",
            "Alert program runs, by outcome (started, skipped at the cap, repeat within the hour, "
            "failed to start, killed at the time limit).");
    const struct {
        const char *name;
        unsigned long long value;
    } outcomes[] = {{"started", a.started},
                    {"skipped", a.skipped},
                    {"repeat", a.repeats},
                    {"failed", a.failed},
                    {"killed", a.killed}};
    for (const auto &o : outcomes)
        vLabelled("kestrun_alert_runs_total", "outcome", o.name, nullptr, nullptr, o.value);
}

} // namespace

bool bMetricsOn() {
    return g_cMetricsFile[0] != '\0';
}

void vMetricsCommandFailed(MetricsCommand command) {
    if (command >= 0 && command < METRICS_COMMANDS)
        g_commandFailures[command]++;
}

void vMetricsRemoval(MetricsReason reason, MetricsRole role) {
    g_removals[reason][role]++;
}

void vMetricsRemovalFailed(MetricsReason reason) {
    g_removalFailures[reason]++;
}

void vMetricsWouldRemove(MetricsReason reason, MetricsRole role) {
    g_wouldRemove[reason][role]++;
}

void vMetricsUncovered(MetricsReason mode) {
    if (mode >= 0 && mode < METRICS_REASONS)
        g_uncovered[mode]++;
}

void vMetricsKept(int controller, int deviceId, bool kept) {
    for (size_t i = 0; i < g_kept.size(); i++) {
        if (g_kept[i].controller == controller && g_kept[i].deviceId == deviceId) {
            if (!kept)
                g_kept.erase(g_kept.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
    if (!kept || !bMetricsOn() || g_kept.size() >= KEPT_MAX)
        return;
    try {
        g_kept.push_back(KeptDrive{controller, deviceId});
    } catch (...) {
        // No memory: the drive is missing from the file; message 6000 names it.
    }
}

void vMetricsCycleBegin() {
    g_drives.clear();
}

void vMetricsDrive(int controller, int deviceId, int firmwareState, uint32_t predictiveFailures,
                   uint32_t mediaErrors, int enclosure, int slot) {
    if (!bMetricsOn())
        return;
    try {
        g_drives.push_back(MetricsDrive{controller, deviceId, firmwareState, predictiveFailures,
                                        mediaErrors, -1, enclosure, slot});
    } catch (...) {
        // No memory: the drive is missing from this cycle's file.
    }
}

int iMetricsDriveCount() {
    return static_cast<int>(g_drives.size());
}

MetricsDrive *pMetricsDrive(int index) {
    if (index < 0 || index >= iMetricsDriveCount())
        return nullptr;
    return &g_drives[static_cast<size_t>(index)];
}

// The label keeps the number of the version text only.
void vMetricsStart(long long startTime, const char *versionText) {
    g_startTime = startTime;
    try {
        std::string v(versionText);
        size_t from = v.find_first_of("0123456789");
        size_t to = v.find_last_of("0123456789");
        g_version = from == std::string::npos ? "" : v.substr(from, to - from + 1);
    } catch (...) {
        g_version.clear();
    }
}

int iMetricsWrite(int controllers, int registerLines, long long now) {
    g_cycles++;
    if (!bMetricsOn())
        return 0;
    if (g_cMetricsFile[0] != '/')
        return EINVAL;
    try {
        vCompose(controllers, registerLines, now);
    } catch (...) {
        return ENOMEM;
    }
    const char *slash = strrchr(g_cMetricsFile, '/');
    char temp[LIB_NAME_SIZE + 16];
    snprintf(temp, sizeof temp, "%.*s/.%s.tmp", static_cast<int>(slash - g_cMetricsFile),
             g_cMetricsFile, slash + 1);
    // Whatever has the temporary name (a file left by a crash, or a FIFO or
    // a hard link planted by anyone who may write the directory) is removed
    // and the file created afresh: never opened, never written through.
    if (unlink(temp) != 0 && errno != ENOENT)
        return errno;
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return errno;
    fchmod(fd, 0644); // whatever the umask: the exporter runs as another user
    int err = iWriteAll(fd, g_out.data(), g_out.size());
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(temp, g_cMetricsFile) != 0)
        err = errno;
    if (err != 0)
        unlink(temp);
    return err;
}

void vMetricsReset() {
    memset(g_commandFailures, 0, sizeof g_commandFailures);
    memset(g_removals, 0, sizeof g_removals);
    memset(g_removalFailures, 0, sizeof g_removalFailures);
    memset(g_wouldRemove, 0, sizeof g_wouldRemove);
    memset(g_uncovered, 0, sizeof g_uncovered);
    g_cycles = 0;
    g_startTime = 0;
    g_drives.clear();
    g_kept.clear();
}
