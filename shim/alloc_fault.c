/*
 * Allocation-failure preload: makes chosen heap allocations of the daemon's
 * own code fail, so that its out-of-memory paths run from their real call
 * sites. Preloaded next to the test shim by the tests that want it.
 *
 * Counted are malloc, calloc and realloc called directly from the main
 * executable of a process named "Kestrun", from main() until exit() (the
 * runtime's start-up and exit work and the daemon's children are left alone).
 *
 * Environment:
 *   KESTRUN_TEST_FAIL_ALLOC  comma-separated ordinals: the n-th counted
 *                            allocation returns NULL with errno ENOMEM
 *   KESTRUN_TEST_ALLOC_LOG   file receiving "alloc <n> size=<bytes>" per
 *                            counted allocation, "fail <n>" per failed one
 *                            and, at exit, "live <k>": counted allocations
 *                            that were never freed
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void *(*real_malloc)(size_t);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);
static void (*real_free)(void *);

/* dlsym may allocate before the real functions are known. */
static char s_arena[4096] __attribute__((aligned(16)));
static size_t s_arenaUsed;
static int s_resolving;

static uintptr_t s_exeStart, s_exeEnd; /* executable code of the main program */
static int s_active;                   /* in the daemon, from main() on */
static int s_reporting;                /* the daemon ran: report at the end */
static unsigned long s_count;
static unsigned long s_fail[32];
static size_t s_failCount;
static void *s_live[256];    /* counted blocks not yet freed */
static unsigned long s_lost; /* counted blocks the table had no room for */

static void *arena(size_t size) {
    size = (size + 15) & ~(size_t)15;
    if (s_arenaUsed + size > sizeof s_arena)
        return NULL;
    void *p = s_arena + s_arenaUsed;
    s_arenaUsed += size;
    return p;
}

static int in_arena(const void *p) {
    return (const char *)p >= s_arena && (const char *)p < s_arena + sizeof s_arena;
}

static void resolve(void) {
    if (real_free != NULL || s_resolving)
        return;
    s_resolving = 1;
    real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    real_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    real_free = (void (*)(void *))dlsym(RTLD_NEXT, "free");
    s_resolving = 0;
}

static void log_line(const char *text) {
    const char *path = getenv("KESTRUN_TEST_ALLOC_LOG");
    if (path == NULL || path[0] == '\0')
        return;
    int saved = errno;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t r = write(fd, text, strlen(text));
        (void)r;
        close(fd);
    }
    errno = saved;
}

static int first_object(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    (void)data;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X))
            continue;
        uintptr_t lo = info->dlpi_addr + ph->p_vaddr;
        if (s_exeStart == 0 || lo < s_exeStart)
            s_exeStart = lo;
        if (lo + ph->p_memsz > s_exeEnd)
            s_exeEnd = lo + ph->p_memsz;
    }
    return 1; /* the main program comes first: stop there */
}

static int (*real_main)(int, char **, char **);

static int counting_main(int argc, char **argv, char **envp) {
    if (strcmp(program_invocation_short_name, "Kestrun") == 0) {
        dl_iterate_phdr(first_object, NULL);
        const char *list = getenv("KESTRUN_TEST_FAIL_ALLOC");
        for (const char *p = list; p != NULL && *p != '\0' && s_failCount < 32;) {
            char *end;
            unsigned long n = strtoul(p, &end, 10);
            if (end == p)
                break;
            s_fail[s_failCount++] = n;
            p = *end == ',' ? end + 1 : end;
        }
        s_active = 1;
        s_reporting = 1;
    }
    int status = real_main(argc, argv, envp);
    s_active = 0;
    return status;
}

/* What runs once exit() is called (gcov's writer, the runtime's own
 * clean-up) is not the daemon's code. */
void exit(int status) {
    void (*next)(int) = (void (*)(int))dlsym(RTLD_NEXT, "exit");
    s_active = 0;
    next(status);
    __builtin_unreachable();
}

int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv, void (*init)(void),
                      void (*fini)(void), void (*rtld_fini)(void), void *stack_end) {
    int (*next)(int (*)(int, char **, char **), int, char **, void (*)(void), void (*)(void),
                void (*)(void), void *) = dlsym(RTLD_NEXT, "__libc_start_main");
    real_main = main;
    return next(counting_main, argc, argv, init, fini, rtld_fini, stack_end);
}

/* Whether this allocation, called from `caller`, is counted and must fail. */
static int counted(const void *caller, size_t size, int *fail) {
    *fail = 0;
    uintptr_t a = (uintptr_t)caller;
    if (!s_active || a < s_exeStart || a >= s_exeEnd)
        return 0;
    unsigned long n = ++s_count;
    char line[96];
    snprintf(line, sizeof line, "alloc %lu size=%zu\n", n, size);
    log_line(line);
    for (size_t i = 0; i < s_failCount; i++) {
        if (s_fail[i] == n) {
            snprintf(line, sizeof line, "fail %lu\n", n);
            log_line(line);
            *fail = 1;
        }
    }
    return 1;
}

static void remember(void *p) {
    if (p == NULL)
        return;
    for (size_t i = 0; i < sizeof s_live / sizeof s_live[0]; i++) {
        if (s_live[i] == NULL) {
            s_live[i] = p;
            return;
        }
    }
    s_lost++;
}

static void forget(void *p) {
    for (size_t i = 0; p != NULL && i < sizeof s_live / sizeof s_live[0]; i++) {
        if (s_live[i] == p) {
            s_live[i] = NULL;
            return;
        }
    }
}

void *malloc(size_t size) {
    resolve();
    if (real_malloc == NULL)
        return arena(size);
    int fail;
    int c = counted(__builtin_return_address(0), size, &fail);
    if (fail) {
        errno = ENOMEM;
        return NULL;
    }
    void *p = real_malloc(size);
    if (c)
        remember(p);
    return p;
}

void *calloc(size_t n, size_t size) {
    resolve();
    if (real_calloc == NULL)
        return arena(n * size); /* the arena is zero and never reused */
    int fail;
    int c = counted(__builtin_return_address(0), n * size, &fail);
    if (fail) {
        errno = ENOMEM;
        return NULL;
    }
    void *p = real_calloc(n, size);
    if (c)
        remember(p);
    return p;
}

void *realloc(void *old, size_t size) {
    resolve();
    if (real_realloc == NULL || in_arena(old))
        return NULL;
    int fail;
    int c = counted(__builtin_return_address(0), size, &fail);
    if (fail) {
        errno = ENOMEM;
        return NULL;
    }
    void *p = real_realloc(old, size);
    if (p != NULL)
        forget(old);
    if (c)
        remember(p);
    return p;
}

void free(void *p) {
    if (p == NULL || in_arena(p))
        return;
    resolve();
    forget(p);
    if (real_free != NULL)
        real_free(p);
}

__attribute__((destructor)) static void report(void) {
    if (!s_reporting)
        return;
    unsigned long live = s_lost;
    for (size_t i = 0; i < sizeof s_live / sizeof s_live[0]; i++)
        live += s_live[i] != NULL;
    char line[64];
    snprintf(line, sizeof line, "live %lu\n", live);
    log_line(line);
}
