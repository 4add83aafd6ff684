/* What the test shim exports to the unit tests besides the libc entry points
 * it replaces.  See shim.c for the environment variables and the syslog
 * record format. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Number of sleep() calls and the sum of the seconds they asked for. */
extern unsigned kestrun_shim_sleep_calls;
extern unsigned kestrun_shim_sleep_seconds;

/* Called (when set) by every syslog call with the priority and the formatted
 * text, before the record is written; lets a unit test look at the world at
 * the very moment a message reaches the logger. */
typedef void (*kestrun_shim_syslog_hook_t)(int priority, const char *text);
extern kestrun_shim_syslog_hook_t kestrun_shim_syslog_hook;

/* Clears the counters, the hook and the remembered openlog state. */
void kestrun_shim_reset(void);

#ifdef __cplusplus
}
#endif
