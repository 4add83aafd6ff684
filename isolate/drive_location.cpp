#include "isolate/drive_location.h"

#include "alert/alert.h"
#include "log/messages.h"

namespace {

DriveIdentity s_noted{};
int s_controller = -1;
int s_deviceId = -1;

} // namespace

void vDriveNoted(int controller, int deviceId) {
    vDriveIdentity(tPhysInfo, &s_noted);
    s_controller = controller;
    s_deviceId = deviceId & 0xFFFF;
    vAlertDriveIdentity(s_noted.enclosure, s_noted.slot, s_noted.sasAddress, s_noted.drive);
}

const DriveIdentity *pDriveNoted(int controller, int deviceId) {
    if (controller != s_controller || (deviceId & 0xFFFF) != s_deviceId)
        return nullptr;
    return &s_noted;
}

void vDriveLocationLine(int controller, int deviceId, bool syslogAlways) {
    const DriveIdentity *id = pDriveNoted(controller, deviceId);
    if (id == nullptr)
        return;
    vLogID6500_Output(controller, deviceId, id->enclosure, id->slot, id->sasAddress, id->drive,
                      syslogAlways);
}
