/*
 * Test shim: replaces the few libc entry points through which the daemon
 * touches the host (syslog, sleep, time, sigaction) so that tests can watch
 * and steer them.  Built twice: as a shared object for LD_PRELOAD into the
 * real daemon, and as a static archive linked into the unit tests, where the
 * same definitions win over libc at link time.
 *
 * Written in C so that every process started under LD_PRELOAD (the shell and
 * ldd the daemon runs, too) only pulls in libc, not a C++ runtime.
 *
 * Environment (read at every call, so unit tests may change it on the fly):
 *   KESTRUN_TEST_SYSLOG          file receiving one record per syslog call
 *   KESTRUN_TEST_SLEEP_LOG       file receiving "sleep N" per sleep call
 *   KESTRUN_TEST_SLEEP_MS        real milliseconds slept per requested second
 *                                (default 0)
 *   KESTRUN_TEST_TIME            fixed result of time(), seconds since epoch
 *   KESTRUN_TEST_FAIL_SIGACTION  signal number(s), comma separated, whose
 *                                installation fails with EINVAL
 *   KESTRUN_TEST_FAIL_FLOCK      errno value with which every flock() fails
 *   KESTRUN_TEST_FAIL_RESTART    errno value with which execv() of
 *                                /proc/self/exe (the restart in place) fails
 *   KESTRUN_TEST_SIGACTION_LOG   file receiving "sigaction N pid=P" per install
 *                                (the daemon's children inherit the
 *                                variables; the pid tells them apart)
 *
 * Syslog record format, one line per call, fields in this fixed order:
 *   ident=<ident> option=<int> facility=<int> priority=<int> open=<0|1> text=<text>
 * ident and text are escaped: backslash as "\\", LF as "\n", CR as "\r";
 * ident additionally escapes a blank as "\s" so that " option=" always ends
 * it.  An ident never given to openlog is written as the empty text.
 */
#define _GNU_SOURCE
#include "shim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

unsigned kestrun_shim_sleep_calls = 0;
unsigned kestrun_shim_sleep_seconds = 0;
kestrun_shim_syslog_hook_t kestrun_shim_syslog_hook = NULL;

static char s_ident[256];
static int s_option;
static int s_facility = LOG_USER;
static int s_open;

void kestrun_shim_reset(void) {
    kestrun_shim_sleep_calls = 0;
    kestrun_shim_sleep_seconds = 0;
    kestrun_shim_syslog_hook = NULL;
    s_ident[0] = '\0';
    s_option = 0;
    s_facility = LOG_USER;
    s_open = 0;
}

/* Appends one line to the file named by the environment variable, if set.
 * One write on an O_APPEND descriptor, so lines from several processes do
 * not interleave. */
static void append_line(const char *env, const char *line, size_t len) {
    const char *path = getenv(env);
    if (path == NULL || path[0] == '\0')
        return;
    int saved = errno;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t r = write(fd, line, len);
        (void)r;
        close(fd);
    }
    errno = saved;
}

/* Escapes src into dst (bounded); returns the length written. */
static size_t escape(char *dst, size_t cap, const char *src, int blank) {
    size_t n = 0;
    for (; *src != '\0' && n + 3 < cap; ++src) {
        char c = *src;
        const char *rep = NULL;
        if (c == '\\')
            rep = "\\\\";
        else if (c == '\n')
            rep = "\\n";
        else if (c == '\r')
            rep = "\\r";
        else if (blank && c == ' ')
            rep = "\\s";
        if (rep != NULL) {
            dst[n++] = rep[0];
            dst[n++] = rep[1];
        } else {
            dst[n++] = c;
        }
    }
    dst[n] = '\0';
    return n;
}

/* Expands "%m" the way syslog does, so a caller passing its text as the
 * format is recorded as the real logger would show it. */
static void expand_m(char *dst, size_t cap, const char *fmt, int err) {
    size_t n = 0;
    const char *msg = strerror(err);
    for (const char *p = fmt; *p != '\0' && n + 1 < cap; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            if (n + 2 >= cap)
                break;
            dst[n++] = '%';
            dst[n++] = '%';
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char *q = msg; *q != '\0' && n + 2 < cap; ++q) {
                if (*q == '%')
                    dst[n++] = '%';
                dst[n++] = *q;
            }
            ++p;
        } else {
            dst[n++] = *p;
        }
    }
    dst[n] = '\0';
}

static void record(int priority, const char *fmt, va_list ap) {
    int err = errno;
    char format[2048];
    char text[4096];
    char etext[8192];
    char eident[520];
    char line[9000];

    expand_m(format, sizeof format, fmt != NULL ? fmt : "(null)", err);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(text, sizeof text, format, ap);
#pragma GCC diagnostic pop

    if (kestrun_shim_syslog_hook != NULL)
        kestrun_shim_syslog_hook(priority, text);

    escape(etext, sizeof etext, text, 0);
    escape(eident, sizeof eident, s_ident, 1);
    int len =
        snprintf(line, sizeof line, "ident=%s option=%d facility=%d priority=%d open=%d text=%s\n",
                 eident, s_option, s_facility, priority, s_open, etext);
    if (len < 0)
        return;
    if ((size_t)len >= sizeof line) {
        len = (int)sizeof line - 1;
        line[len - 1] = '\n';
    }
    append_line("KESTRUN_TEST_SYSLOG", line, (size_t)len);
    errno = err;
}

void openlog(const char *ident, int option, int facility) {
    snprintf(s_ident, sizeof s_ident, "%s", ident != NULL ? ident : "");
    s_option = option;
    s_facility = facility;
    s_open = 1;
}

void closelog(void) {
    s_open = 0;
}

void vsyslog(int priority, const char *format, va_list ap) {
    record(priority, format, ap);
}

void syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    record(priority, format, ap);
    va_end(ap);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list ap) {
    (void)flag;
    record(priority, format, ap);
}

void __syslog_chk(int priority, int flag, const char *format, ...) {
    (void)flag;
    va_list ap;
    va_start(ap, format);
    record(priority, format, ap);
    va_end(ap);
}

static long env_long(const char *name, long dflt) {
    const char *v = getenv(name);
    if (v == NULL || v[0] == '\0')
        return dflt;
    char *end = NULL;
    errno = 0;
    long r = strtol(v, &end, 10);
    if (end == v || errno != 0)
        return dflt;
    return r;
}

unsigned int sleep(unsigned int seconds) {
    int err = errno;
    char line[64];
    int len = snprintf(line, sizeof line, "sleep %u\n", seconds);
    if (len > 0 && (size_t)len < sizeof line)
        append_line("KESTRUN_TEST_SLEEP_LOG", line, (size_t)len);
    kestrun_shim_sleep_calls++;
    kestrun_shim_sleep_seconds += seconds;

    long ms = env_long("KESTRUN_TEST_SLEEP_MS", 0);
    if (ms > 0 && seconds > 0) {
        long long total = (long long)ms * seconds;
        struct timespec ts = {(time_t)(total / 1000), (long)(total % 1000) * 1000000L};
        /* A signal ends the wait early, as it ends a real sleep. */
        nanosleep(&ts, NULL);
    }
    errno = err;
    return 0;
}

time_t time(time_t *out) {
    time_t now;
    const char *fixed = getenv("KESTRUN_TEST_TIME");
    if (fixed != NULL && fixed[0] != '\0') {
        now = (time_t)strtoll(fixed, NULL, 10);
    } else {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out != NULL)
        *out = now;
    return now;
}

/* Is signum one of the comma-separated numbers in the variable? */
static int listed(const char *name, int signum) {
    const char *v = getenv(name);
    if (v == NULL)
        return 0;
    while (*v != '\0') {
        char *end = NULL;
        long n = strtol(v, &end, 10);
        if (end == v)
            return 0;
        if (n == signum)
            return 1;
        v = end;
        while (*v == ',' || *v == ' ')
            ++v;
    }
    return 0;
}

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);

int sigaction(int signum, const struct sigaction *act, struct sigaction *oldact) {
    if (act != NULL) {
        char line[64];
        int len = snprintf(line, sizeof line, "sigaction %d pid=%ld\n", signum, (long)getpid());
        if (len > 0 && (size_t)len < sizeof line)
            append_line("KESTRUN_TEST_SIGACTION_LOG", line, (size_t)len);
        if (listed("KESTRUN_TEST_FAIL_SIGACTION", signum)) {
            errno = EINVAL;
            return -1;
        }
    }
    static sigaction_fn real = NULL;
    if (real == NULL)
        real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(signum, act, oldact);
}

typedef int (*execv_fn)(const char *, char *const[]);

int execv(const char *path, char *const argv[]) {
    long err = env_long("KESTRUN_TEST_FAIL_RESTART", 0);
    if (err > 0 && strcmp(path, "/proc/self/exe") == 0) {
        errno = (int)err;
        return -1;
    }
    static execv_fn real = NULL;
    if (real == NULL)
        real = (execv_fn)dlsym(RTLD_NEXT, "execv");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(path, argv);
}

typedef int (*flock_fn)(int, int);

int flock(int fd, int operation) {
    long err = env_long("KESTRUN_TEST_FAIL_FLOCK", 0);
    if (err > 0) {
        errno = (int)err;
        return -1;
    }
    static flock_fn real = NULL;
    if (real == NULL)
        real = (flock_fn)dlsym(RTLD_NEXT, "flock");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, operation);
}
