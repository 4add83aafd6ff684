// Kestrun --register and --retire CONTROLLER,DEVICE: the register for the
// operator. Neither loads the controller library; --register reads only and
// may run beside a monitor, --retire refuses while a monitor holds the module
// directory.
#pragma once

// Exit statuses: 0 printed (also when there is no register), 6 the register
// exists but cannot be read.
int iRegisterCommand(const char *argv0);

// Exit statuses: 0 retired, 1 no such line, 2 malformed argument, 3 a monitor
// holds the module directory, 6 the register cannot be read or rewritten.
int iRetireCommand(const char *argv0, const char *argument);
