// Service manager notification: readiness, status line, stop and watchdog
// pings, sent as datagrams to $NOTIFY_SOCKET. Without that variable every call
// does nothing, so the daemon runs the same anywhere. Nothing here ever
// blocks: a datagram the manager's queue cannot take is dropped.
#pragma once

// Microseconds granted by each start extension: a minute lets one slow but
// healthy controller command finish, as the watchdog does.
constexpr unsigned long long NOTIFY_EXTEND_USEC = 60000000ull;

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once; call before the
// signal handlers are installed. Returns 1 when notifications will be sent.
int iNotifyInit();

// Sends one notification text (e.g. "READY=1"); returns 1 when it was queued.
// Async-signal-safe: no allocation, no locks, only socket/sendto/close; never
// waits for the manager.
int iNotifySend(const char *text);

// The start is under way: until READY=1, every vNotifyAlive also extends the
// start timeout (EXTEND_TIMEOUT_USEC), so a start that keeps issuing commands
// is not killed however long the register takes; one that hangs still is.
void vNotifyStarting();
void vNotifyReady();
// Once per run, whoever calls first (the stop-signal handlers do).
void vNotifyStopping();
// A restart in place to read the settings again (the SIGHUP handler):
// RELOADING=1 with the monotonic time; the new image reports READY=1.
void vNotifyReloading();
// "STATUS=" followed by the text, cut to one line.
void vNotifyStatus(const char *text);
// A watchdog ping when the service manager asked for them; pings closer
// together than a quarter of the watchdog interval (at most 1 s) are skipped,
// so it may be called before every command and every wait. Also sends, at
// most once a second, a dropped READY=1 or STOPPING=1 again and, while
// starting, the start extension.
void vNotifyAlive();
// Sleeps `seconds` whole seconds, also when a signal ends a sleep early. With
// a service manager listening, in one-second steps each after vNotifyAlive,
// so a long pause is no silence for the watchdog.
void vNotifyAliveSleep(unsigned seconds);
