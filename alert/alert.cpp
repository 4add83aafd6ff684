// The alert program. Started with posix_spawn (never through a shell) in a
// process group of its own, so that the time limit kills whatever it started
// too. Its standard input and output are /dev/null, standard error follows
// standard output, and every descriptor above 2 is closed in the child: the
// controller library may hold descriptors without close-on-exec.
//
// Children are tracked by pid and reaped one by one with WNOHANG, never with
// waitpid(-1): other parts of the daemon run children of their own (ldd) and
// must find them. On a stop, programs still running are left to finish; the
// daemon does not wait for them. Runs waiting for a slot keep a copy of their
// message and drive, so they start later exactly as they would have then.
#include "alert/alert.h"

#include "config/settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Child {
    pid_t pid;
    long long startMs;
    bool killed;
};

struct Repeat {
    uint64_t key;
    long long at;
};

// The drive scope as it stood when the message was raised.
using DriveContext = AlertDrive;

// One run as it is to be started.
struct Run {
    int messageId;
    const char *severity;
    char text[ALERT_TEXT_SIZE];
    DriveContext drive;
    uint64_t key;
};

// An error code of a failed run, and whether it still awaits its report.
struct FailureKind {
    int code;
    bool pending;
};

Child g_children[ALERT_RUNNING_MAX];
int g_childCount = 0;
Run g_queue[ALERT_QUEUE_MAX]; // ring
int g_queueHead = 0;
int g_queueCount = 0;
Repeat g_repeats[ALERT_REPEAT_ENTRIES];
int g_repeatCount = 0;
FailureKind g_failures[ALERT_FAILURE_KINDS];
int g_failureCount = 0;
unsigned g_skippedPending = 0;
AlertTotals g_totals{};
long long g_limitMs = ALERT_LIMIT_MS;
char g_hostname[256];
char g_moduleDir[PATH_MAX];
DriveContext g_drive;
Run g_scratch; // a run started at once

long long llMonotonicMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// FNV-1a over the key's parts: a drive-bound message is the same failure for
// the same drive whatever its text; any other message is keyed by its text.
uint64_t uRepeatKey(int messageId, const char *text) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const void *p, size_t n) {
        const unsigned char *b = static_cast<const unsigned char *>(p);
        for (size_t i = 0; i < n; i++) {
            h ^= b[i];
            h *= 1099511628211ull;
        }
    };
    mix(&messageId, sizeof messageId);
    if (g_drive.set) {
        mix(&g_drive.controller, sizeof g_drive.controller);
        mix(&g_drive.deviceId, sizeof g_drive.deviceId);
    } else {
        mix(text, strlen(text));
    }
    return h;
}

void vForget(int index) {
    g_children[index] = g_children[g_childCount - 1];
    g_childCount--;
}

// 0 when started (its pid in *pid), otherwise the error that stopped it.
int iSpawnRun(const Run &run, pid_t *pid) {
    char id[16];
    snprintf(id, sizeof id, "%d", run.messageId);
    std::vector<std::string> vars;
    const char *own[] = {
        "KESTRUN_MESSAGE_ID=", "KESTRUN_MESSAGE=", "KESTRUN_SEVERITY=",    "KESTRUN_CONTROLLER=",
        "KESTRUN_DEVICE_ID=",  "KESTRUN_REASON=",  "KESTRUN_HOSTNAME=",    "KESTRUN_MODULE_DIR=",
        "KESTRUN_ENCLOSURE=",  "KESTRUN_SLOT=",    "KESTRUN_SAS_ADDRESS=", "KESTRUN_DRIVE="};
    for (char **e = environ; e != nullptr && *e != nullptr; e++) {
        bool ours = false;
        for (const char *o : own)
            ours = ours || strncmp(*e, o, strlen(o)) == 0;
        if (!ours)
            vars.emplace_back(*e);
    }
    vars.push_back(std::string(own[0]) + id);
    vars.push_back(std::string(own[1]) + run.text);
    vars.push_back(std::string(own[2]) + run.severity);
    if (run.drive.set) {
        vars.push_back(std::string(own[3]) + std::to_string(run.drive.controller));
        vars.push_back(std::string(own[4]) + std::to_string(run.drive.deviceId & 0xFFFF));
        if (run.drive.reason != nullptr)
            vars.push_back(std::string(own[5]) + run.drive.reason);
        if (run.drive.located) {
            char sas[24];
            snprintf(sas, sizeof sas, "0x%016llx", run.drive.sasAddress);
            vars.push_back(std::string(own[8]) + std::to_string(run.drive.enclosure));
            vars.push_back(std::string(own[9]) + std::to_string(run.drive.slot));
            vars.push_back(std::string(own[10]) + sas);
            vars.push_back(std::string(own[11]) + run.drive.drive);
        }
    }
    vars.push_back(std::string(own[6]) + g_hostname);
    vars.push_back(std::string(own[7]) + g_moduleDir);
    std::vector<char *> envp;
    for (auto &v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string message(run.text);
    char *argv[] = {g_cNotifyProgram, id, message.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0)
        return rc;
    rc = posix_spawnattr_init(&attr);
    if (rc != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    // An exec failure (no "#!" line, a missing interpreter, a program deleted
    // since the start check) comes back here as the error code.
    rc = posix_spawn(pid, g_cNotifyProgram, &actions, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

int iSpawn(const Run &run, pid_t *pid) {
    try {
        return iSpawnRun(run, pid);
    } catch (...) {
        return ENOMEM; // no memory for the environment
    }
}

// Remembers a failure's error code; a code not seen before awaits its report.
void vFailureNote(int code, bool reported) {
    for (int i = 0; i < g_failureCount; i++)
        if (g_failures[i].code == code)
            return;
    if (g_failureCount < ALERT_FAILURE_KINDS)
        g_failures[g_failureCount++] = FailureKind{code, !reported};
}

void vRepeatForget(uint64_t key);

// A run that could not be started is reported once per kind and not held as
// sent: the message's next occurrence tries again.
void vStart(const Run &run) {
    pid_t pid = -1;
    int err = iSpawn(run, &pid);
    if (err == 0) {
        g_children[g_childCount++] = Child{pid, llMonotonicMs(), false};
        g_totals.started++;
        return;
    }
    g_totals.failed++;
    vRepeatForget(run.key);
    vFailureNote(err, false);
}

// Made absolute: the program may change its directory, and a daemon started
// as "./Kestrun" would otherwise hand it ".".
void vModuleDirSet(const char *moduleDir) {
    snprintf(g_moduleDir, sizeof g_moduleDir, "%s", moduleDir);
    if (moduleDir[0] == '/')
        return;
    char *real = realpath(moduleDir, nullptr);
    if (real != nullptr) {
        snprintf(g_moduleDir, sizeof g_moduleDir, "%s", real);
        free(real);
        return;
    }
    char cwd[PATH_MAX];
    static char joined[2 * PATH_MAX + 2];
    if (getcwd(cwd, sizeof cwd) != nullptr &&
        snprintf(joined, sizeof joined, "%s/%s", cwd, moduleDir) < PATH_MAX)
        memcpy(g_moduleDir, joined, strlen(joined) + 1);
}

} // namespace

AlertDriveScope::AlertDriveScope(int controller, int deviceId, const char *reason)
    : saved_(g_drive) {
    g_drive = AlertDrive{};
    g_drive.controller = controller;
    g_drive.deviceId = deviceId;
    g_drive.reason = reason;
    g_drive.set = true;
}

AlertDriveScope::~AlertDriveScope() {
    g_drive = saved_;
}

void vAlertDriveIdentity(int enclosure, int slot, unsigned long long sasAddress,
                         const char *drive) {
    if (!g_drive.set)
        return;
    g_drive.located = true;
    g_drive.enclosure = enclosure;
    g_drive.slot = slot;
    g_drive.sasAddress = sasAddress;
    snprintf(g_drive.drive, sizeof g_drive.drive, "%s", drive);
}

bool bAlertOn() {
    return g_cNotifyProgram[0] != '\0';
}

int iAlertStart(const char *moduleDir) {
    vModuleDirSet(moduleDir);
    if (gethostname(g_hostname, sizeof g_hostname - 1) != 0)
        g_hostname[0] = '\0';
    g_hostname[sizeof g_hostname - 1] = '\0';
    const char *limit = getenv(ALERT_LIMIT_ENV);
    if (limit != nullptr && atoll(limit) > 0)
        g_limitMs = atoll(limit);
    if (!bAlertOn())
        return 0;
    if (g_cNotifyProgram[0] != '/')
        return EINVAL;
    int err = 0;
    struct stat st {};
    if (stat(g_cNotifyProgram, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EACCES;
    else if (access(g_cNotifyProgram, X_OK) != 0)
        err = errno;
    if (err != 0)
        vFailureNote(err, true); // reported by the caller
    return err;
}

namespace {

// The entry remembered for `key`, or -1.
int iRepeatFind(uint64_t key) {
    for (int i = 0; i < g_repeatCount; i++)
        if (g_repeats[i].key == key)
            return i;
    return -1;
}

bool bRepeatHeld(int index, long long nowSeconds, long long windowSeconds) {
    return index >= 0 && nowSeconds >= g_repeats[index].at &&
           nowSeconds - g_repeats[index].at < windowSeconds;
}

void vRepeatForget(uint64_t key) {
    int found = iRepeatFind(key);
    if (found >= 0)
        g_repeats[found] = g_repeats[--g_repeatCount];
}

} // namespace

bool bAlertRepeatPass(uint64_t key, long long nowSeconds, long long windowSeconds) {
    int found = iRepeatFind(key);
    if (bRepeatHeld(found, nowSeconds, windowSeconds))
        return false;
    if (found < 0) {
        // A full table forgets the entry let through longest ago.
        found = 0;
        if (g_repeatCount < ALERT_REPEAT_ENTRIES) {
            found = g_repeatCount++;
        } else {
            for (int i = 1; i < g_repeatCount; i++)
                if (g_repeats[i].at < g_repeats[found].at)
                    found = i;
        }
    }
    g_repeats[found] = Repeat{key, nowSeconds};
    return true;
}

void vAlertRun(int messageId, const char *severity, const char *text) {
    if (!bAlertOn() || g_cNotifyProgram[0] != '/')
        return;
    iAlertReap(); // after it, a waiting run means every slot is taken
    uint64_t key = uRepeatKey(messageId, text);
    long long now = llMonotonicMs() / 1000;
    bool wait = g_childCount >= ALERT_RUNNING_MAX || g_queueCount > 0;
    // A message skipped for want of room is not remembered as sent: its next
    // repeat may run the program.
    if (wait && g_queueCount >= ALERT_QUEUE_MAX &&
        !bRepeatHeld(iRepeatFind(key), now, ALERT_REPEAT_SECONDS)) {
        g_totals.skipped++;
        g_skippedPending++;
        return;
    }
    if (!bAlertRepeatPass(key, now, ALERT_REPEAT_SECONDS)) {
        g_totals.repeats++;
        return;
    }
    Run &run = wait ? g_queue[(g_queueHead + g_queueCount++) % ALERT_QUEUE_MAX] : g_scratch;
    run.messageId = messageId;
    run.severity = severity;
    snprintf(run.text, sizeof run.text, "%s", text);
    run.drive = g_drive;
    run.key = key;
    if (!wait)
        vStart(run);
}

int iAlertReap() {
    int killed = 0;
    long long now = llMonotonicMs();
    for (int i = 0; i < g_childCount;) {
        int status = 0;
        pid_t r = waitpid(g_children[i].pid, &status, WNOHANG);
        if (r == g_children[i].pid || (r < 0 && errno == ECHILD)) {
            vForget(i);
            continue;
        }
        if (!g_children[i].killed && now - g_children[i].startMs >= g_limitMs) {
            kill(-g_children[i].pid, SIGKILL);
            g_children[i].killed = true;
            g_totals.killed++;
            killed++;
        }
        i++;
    }
    while (g_childCount < ALERT_RUNNING_MAX && g_queueCount > 0) {
        const Run &run = g_queue[g_queueHead];
        g_queueHead = (g_queueHead + 1) % ALERT_QUEUE_MAX;
        g_queueCount--;
        vStart(run);
    }
    return killed;
}

int iAlertRunning() {
    return g_childCount + g_queueCount; // queued runs start as slots free
}

int iAlertFailureTake() {
    for (int i = 0; i < g_failureCount; i++) {
        if (g_failures[i].pending) {
            g_failures[i].pending = false;
            return g_failures[i].code;
        }
    }
    return 0;
}

int iAlertRunOnce(int messageId, const char *severity, const char *text, int *status,
                  bool *killed) {
    *status = 0;
    *killed = false;
    g_scratch = Run{messageId, severity, {}, DriveContext{}, 0};
    snprintf(g_scratch.text, sizeof g_scratch.text, "%s", text);
    pid_t pid = -1;
    int err = iSpawn(g_scratch, &pid);
    if (err != 0)
        return err;
    long long start = llMonotonicMs();
    for (;;) {
        pid_t r = waitpid(pid, status, *killed ? 0 : WNOHANG);
        if (r == pid)
            return 0;
        if (r < 0 && errno != EINTR)
            return errno;
        if (!*killed && llMonotonicMs() - start >= g_limitMs) {
            kill(-pid, SIGKILL);
            *killed = true;
            continue;
        }
        struct timespec tick {
            0, 10 * 1000 * 1000
        };
        nanosleep(&tick, nullptr);
    }
}

unsigned uAlertSkippedTake() {
    unsigned n = g_skippedPending;
    g_skippedPending = 0;
    return n;
}

AlertTotals tAlertTotals() {
    return g_totals;
}

void vAlertReset() {
    g_childCount = 0;
    g_queueHead = 0;
    g_queueCount = 0;
    g_failureCount = 0;
    g_repeatCount = 0;
    g_skippedPending = 0;
    g_totals = AlertTotals{};
    g_drive = AlertDrive{};
    g_limitMs = ALERT_LIMIT_MS;
}
