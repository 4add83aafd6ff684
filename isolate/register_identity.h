// The register's identity file: for each register line appended, the drive it
// was written for (SAS address, inquiry text, enclosure, slot), why and when.
// "PdState_Flag.dat" keeps its format; this file sits beside it (beside the
// link's target for a linked register), named like it with ".identity" added.
//
// One record per line, fields separated by a tab:
//   controller, device id (0-65535), SAS address (0x + 16 hex digits),
//   enclosure, slot, reason (SMART, MEDIUM, AERROR), time of removal (seconds
//   since the epoch), drive (inquiry text, printable, no tab)
// A record counts only whole (ending in LF); the last record for a controller
// and device id is the one that goes with the register's line for it. A line
// without a record, or a record without a line, means "identity unknown".
#pragma once

#include "storage/drive_identity.h"

#include <cstddef>
#include <vector>

constexpr const char *IDENTITY_SUFFIX = ".identity";
constexpr int IDENTITY_PATH_SIZE = 4200;

struct IdentityRecord {
    int controller;
    int deviceId; // 0-65535
    DriveIdentity id;
    char reason[8];
    long long removedAt;
};

// The identity file of the register at `registerPath`.
void vIdentityPath(const char *registerPath, char *out, size_t size);

// One record as a line with its LF; its length, or -1 when it does not fit.
int iIdentityFormat(const IdentityRecord &record, char *out, size_t size);
// A whole record line (LF included); false for anything else.
bool bIdentityParse(const char *line, IdentityRecord *out);

// Appends one record and syncs it. 0, or the errno of the failure (the file is
// then as it was). *sizeBefore and *sizeAfter receive the file's size before
// and after the append.
int iIdentityAppend(const char *path, const IdentityRecord &record, long long *sizeBefore,
                    long long *sizeAfter);
// Cuts the file back to `sizeBefore` (a record whose removal did not happen),
// but only while it is still `sizeAfter` long: a file rewritten or grown since
// is left alone. 0 or errno.
int iIdentityCutBack(const char *path, long long sizeBefore, long long sizeAfter);

// Every whole record, in file order. 0, ENOENT when there is no file, or the
// errno that kept it from being read (ENOMEM included).
int iIdentityLoad(const char *path, std::vector<IdentityRecord> *out);
// The record that goes with the register line of this drive, or nullptr.
const IdentityRecord *pIdentityFind(const std::vector<IdentityRecord> &records, int controller,
                                    int deviceId);

// Replaces the file by `records` through a temporary file created exclusively
// beside it (never through a link), synced, then renamed over it; the new file
// takes the old one's owner and mode. 0 or errno; on failure the file is as it
// was.
int iIdentityRewrite(const char *path, const std::vector<IdentityRecord> &records);
