// Service manager notification over the documented datagram protocol, without
// libsystemd: the daemon depends on nothing beyond the C runtime.
#include "service/notify.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct sockaddr_un s_addr;
socklen_t s_addrLen = 0; // 0: no service manager to tell
uint64_t s_pingEveryNs = 0; // 0: no watchdog
uint64_t s_lastPingNs = 0;
uint64_t s_lastCatchUpNs = 0;

// Where the run stands for the service manager. The handlers move it to
// PHASE_STOPPING. The start gets extensions while it makes progress: it
// re-applies the whole register, however long that takes.
enum Phase { PHASE_NONE, PHASE_STARTING, PHASE_RUNNING, PHASE_STOPPING };
volatile sig_atomic_t s_phase = PHASE_NONE;
volatile sig_atomic_t s_stopping = 0;
volatile sig_atomic_t s_reloading = 0;
// A state change the manager's full queue did not take, to be sent again.
volatile sig_atomic_t s_readyPending = 0;
volatile sig_atomic_t s_stopPending = 0;

uint64_t uNowNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Decimal text to an unsigned number; false on anything but digits.
bool bParseUnsigned(const char *text, uint64_t &out) {
    if (text == nullptr || *text == '\0')
        return false;
    uint64_t v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        uint64_t d = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

} // namespace

int iNotifyInit() {
    s_addrLen = 0;
    s_pingEveryNs = 0;
    s_lastPingNs = 0;
    s_lastCatchUpNs = 0;
    s_phase = PHASE_NONE;
    s_stopping = 0;
    s_reloading = 0;
    s_readyPending = 0;
    s_stopPending = 0;
    const char *path = getenv("NOTIFY_SOCKET");
    if (path == nullptr)
        return 0;
    size_t len = strlen(path);
    // A path socket, or an abstract one written with a leading '@'.
    if (len < 2 || len >= sizeof s_addr.sun_path || (path[0] != '/' && path[0] != '@'))
        return 0;
    memset(&s_addr, 0, sizeof s_addr);
    s_addr.sun_family = AF_UNIX;
    memcpy(s_addr.sun_path, path, len);
    if (path[0] == '@')
        s_addr.sun_path[0] = '\0';
    s_addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len +
                                       (path[0] == '@' ? 0 : 1));

    uint64_t usec = 0;
    uint64_t pid = 0;
    if (bParseUnsigned(getenv("WATCHDOG_USEC"), usec) && usec > 0) {
        const char *pidText = getenv("WATCHDOG_PID");
        if (pidText == nullptr ||
            (bParseUnsigned(pidText, pid) && pid == static_cast<uint64_t>(getpid()))) {
            uint64_t quarterNs = usec / 4 * 1000;
            s_pingEveryNs = quarterNs < 1000000000ull ? quarterNs : 1000000000ull;
            if (s_pingEveryNs == 0)
                s_pingEveryNs = 1;
        }
    }
    return 1;
}

int iNotifySend(const char *text) {
    if (s_addrLen == 0 || text == nullptr)
        return 0;
    int saved = errno;
    // Non-blocking: a manager that does not read its socket must never hold
    // up a cycle, nor a stop signal's handler.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        errno = saved;
        return 0;
    }
    ssize_t n = sendto(fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT,
                       reinterpret_cast<const struct sockaddr *>(&s_addr), s_addrLen);
    close(fd);
    errno = saved; // callers report errno of their own steps
    return n >= 0 ? 1 : 0;
}

void vNotifyStarting() {
    if (s_phase == PHASE_NONE)
        s_phase = PHASE_STARTING;
}

void vNotifyReady() {
    s_phase = PHASE_RUNNING;
    if (s_stopping || s_reloading) // a signal came first
        s_phase = PHASE_STOPPING;
    s_readyPending = iNotifySend("READY=1") ? 0 : 1;
}

void vNotifyStopping() {
    if (s_stopping)
        return;
    s_stopping = 1;
    s_phase = PHASE_STOPPING;
    s_stopPending = iNotifySend("STOPPING=1") ? 0 : 1;
}

// Signal-safe: the number is formatted by hand.
void vNotifyReloading() {
    if (s_stopping || s_reloading)
        return;
    s_reloading = 1;
    s_phase = PHASE_STOPPING;
    char text[64] = "RELOADING=1\nMONOTONIC_USEC=";
    size_t used = strlen(text);
    uint64_t usec = uNowNs() / 1000;
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + usec % 10);
        usec /= 10;
    } while (usec != 0 && n < sizeof digits);
    while (n > 0 && used + 1 < sizeof text)
        text[used++] = digits[--n];
    text[used] = '\0';
    iNotifySend(text);
}

void vNotifyStatus(const char *text) {
    if (s_addrLen == 0)
        return;
    char line[256] = "STATUS=";
    size_t used = strlen(line);
    for (const char *p = text; p != nullptr && *p != '\0' && *p != '\n' && used + 1 < sizeof line;
         ++p)
        line[used++] = *p;
    line[used] = '\0';
    iNotifySend(line);
}

void vNotifyAlive() {
    if (s_addrLen == 0)
        return;
    uint64_t now = uNowNs();
    if (s_lastCatchUpNs == 0 || now - s_lastCatchUpNs >= 1000000000ull) {
        s_lastCatchUpNs = now;
        if (s_readyPending && s_phase == PHASE_RUNNING && iNotifySend("READY=1"))
            s_readyPending = 0;
        if (s_stopPending && iNotifySend("STOPPING=1"))
            s_stopPending = 0;
        if (s_phase == PHASE_STARTING) {
            char text[64];
            snprintf(text, sizeof text, "EXTEND_TIMEOUT_USEC=%llu", NOTIFY_EXTEND_USEC);
            iNotifySend(text);
        }
    }
    if (s_pingEveryNs == 0)
        return;
    if (s_lastPingNs != 0 && now - s_lastPingNs < s_pingEveryNs)
        return;
    if (iNotifySend("WATCHDOG=1"))
        s_lastPingNs = now;
}

void vNotifyAliveSleep(unsigned seconds) {
    if (s_addrLen == 0) {
        unsigned left = seconds;
        while (left > 0)
            left = sleep(left);
        return;
    }
    for (unsigned i = 0; i < seconds; i++) {
        vNotifyAlive();
        unsigned left = 1;
        while (left > 0)
            left = sleep(left);
    }
    vNotifyAlive();
}
