// Per-drive event history files in the module directory.
#pragma once

constexpr const char *HISTORY_PREFIX = "AERROR_Cnt";
constexpr unsigned HISTORY_EPOCH = 946652400; // 2000-01-01 00:00:00 at UTC+9

int iLogOut(int controller, int deviceId, void *eventList, char *description, int k);
int iDelFileSearch(const char *directory, int controller, int deviceId);
