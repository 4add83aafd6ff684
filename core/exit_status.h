// Exit statuses of the Kestrun process, for service managers and scripts.
#pragma once

constexpr int EXIT_STATUS_STOPPED = 0;        // stopped by a signal; --help, --version
constexpr int EXIT_STATUS_CHECK_WARNINGS = 1; // --check: warnings, no error
constexpr int EXIT_STATUS_TEST_FAILED = 1;    // --test-alert: the program ran and failed
constexpr int EXIT_STATUS_NO_LINE = 1;        // --retire: the register has no such line
constexpr int EXIT_STATUS_RESTART = 1;        // SIGHUP's restart in place could not execute
constexpr int EXIT_STATUS_USAGE = 2;          // unknown argument
constexpr int EXIT_STATUS_INSTANCE = 3;       // another instance holds the module directory
constexpr int EXIT_STATUS_INSTALL =
    6; // settings file missing, library not loadable; --check: errors
constexpr int EXIT_STATUS_CONTROLLER = 7;   // controller list or information unreadable
constexpr int EXIT_STATUS_CANNOT_RUN = 255; // no signal handler, no module directory
