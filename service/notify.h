// Service manager notification: readiness, status line, stop and watchdog
// pings, sent as datagrams to $NOTIFY_SOCKET. Without that variable every call
// does nothing, so the daemon runs the same anywhere.
#pragma once

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once; call before the
// signal handlers are installed. Returns 1 when notifications will be sent.
int iNotifyInit();

// Sends one notification text (e.g. "READY=1"); returns 1 when it was sent.
// Async-signal-safe: no allocation, no locks, only socket/sendto/close.
int iNotifySend(const char *text);

void vNotifyReady();
// Once per run, whoever calls first (the stop-signal handlers do).
void vNotifyStopping();
// "STATUS=" followed by the text, cut to one line.
void vNotifyStatus(const char *text);
// A watchdog ping when the service manager asked for them; pings closer
// together than a quarter of the watchdog interval (at most 1 s) are skipped,
// so it may be called before every command and every wait.
void vNotifyAlive();
