#include "storage/drive_identity.h"

#include <cstring>

namespace {

unsigned long long ullLittle64(const uint8_t *p) {
    unsigned long long v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

bool bPad(uint8_t c) {
    return c == '\0' || c == ' ';
}

} // namespace

void vDriveText(const uint8_t *bytes, int size, char *out, int outSize) {
    if (outSize <= 0)
        return;
    int begin = 0;
    int end = size;
    while (begin < end && bPad(bytes[begin]))
        begin++;
    while (end > begin && bPad(bytes[end - 1]))
        end--;
    int used = 0;
    for (int i = begin; i < end && used < outSize - 1; i++) {
        uint8_t c = bytes[i];
        if (c == ' ') {
            if (out[used - 1] != ' ') // used > 0: the text starts with no blank
                out[used++] = ' ';
            continue;
        }
        bool plain = c > ' ' && c < 0x7F && c != '"' && c != '\\';
        out[used++] = plain ? static_cast<char>(c) : '?';
    }
    out[used] = '\0';
}

void vDriveIdentity(const PdInfo &info, DriveIdentity *out) {
    out->sasAddress = ullLittle64(info.sasAddress[0]);
    out->enclosure = info.enclosureDeviceId;
    out->slot = info.slotNumber;
    vDriveText(info.inquiryData, PDINFO_INQUIRY_SIZE, out->drive, sizeof out->drive);
}

bool bIdentityKnown(const DriveIdentity &id) {
    return id.sasAddress != 0 || id.drive[0] != '\0';
}

bool bAnotherDrive(const DriveIdentity &recorded, const DriveIdentity &now) {
    // A field only one side reports decides nothing.
    bool sas =
        recorded.sasAddress != 0 && now.sasAddress != 0 && recorded.sasAddress != now.sasAddress;
    bool text =
        recorded.drive[0] != '\0' && now.drive[0] != '\0' && strcmp(recorded.drive, now.drive) != 0;
    return sas || text;
}
