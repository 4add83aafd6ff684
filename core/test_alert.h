// Kestrun --test-alert: the alert program run once, on request.
#pragma once

// Reads the settings as a start does and runs the alert program once as the
// daemon would, with a test message; waits for it up to the time limit and
// prints how it ended. Takes no lock, writes no log line and no syslog record.
// Returns the exit status: 0 the program exited 0; 1 it failed (non-zero
// status, killed at the limit, could not be executed); 6 none is configured or
// it fails the start check (or the settings file cannot be read).
int iTestAlert(const char *argv0);
