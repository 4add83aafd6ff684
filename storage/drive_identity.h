// Which drive a device id names, from the drive-information reply the daemon
// has already read: its bay (enclosure and slot), its SAS address and its
// inquiry text. A device id is only a handle; a new drive in the same bay
// gets the same one.
#pragma once

#include "storage/StoreCmd.h"

constexpr int DRIVE_TEXT_SIZE = PDINFO_INQUIRY_SIZE + 1;

struct DriveIdentity {
    unsigned long long sasAddress; // first path; 0 when the drive reports none
    int enclosure;                 // the enclosure's device id
    int slot;
    char drive[DRIVE_TEXT_SIZE]; // inquiry text, made printable (see vDriveText)
};

// The inquiry bytes as one line of text: NUL and blank padding trimmed at
// both ends, runs of blanks made one, and every byte that is not printable
// ASCII, a double quote, a backslash or a tab replaced by '?', so that the
// text can stand between quotes and in a tab-separated record.
void vDriveText(const uint8_t *bytes, int size, char *out, int outSize);

void vDriveIdentity(const PdInfo &info, DriveIdentity *out);

// Whether the reply named the drive at all: a SAS address or inquiry text.
bool bIdentityKnown(const DriveIdentity &id);

// Another drive than the one recorded: the SAS addresses or the inquiry texts
// differ. A field that either side lacks (zero, empty) decides nothing.
bool bAnotherDrive(const DriveIdentity &recorded, const DriveIdentity &now);
