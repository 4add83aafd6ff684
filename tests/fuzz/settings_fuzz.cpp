// The settings reader over arbitrary file contents, then the invariants the
// rest of the daemon relies on.
#include "fuzz_support.h"

#include "config/settings.h"
#include "detect/event_scan.h"
#include "detect/health_scan.h"
#include "detect/tables.h"

#include <cstring>

namespace {

bool bTerminated(const char *text, size_t size) {
    return memchr(text, '\0', size) != nullptr;
}

// Notes are whole lines of bounded text about lines of the file.
void vNote(void *, int line, int level, const char *text) {
    FZ_CHECK(line >= 0 && (level == SETTINGS_NOTE_WARNING || level == SETTINGS_NOTE_ERROR));
    FZ_CHECK(strlen(text) < 1024 && strchr(text, '\n') == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::moduleDir();
    if (!fz::writeFile(INI_FILE_NAME, data, size))
        return 0;
    // Asking for notes (Kestrun --check) must read exactly what the daemon reads.
    vSettingsDefault();
    SettingsNotes notes{vNote, nullptr};
    FZ_CHECK(iIniFileReadPath((fz::moduleDir() + "/" + INI_FILE_NAME).c_str(), &notes) == 1);
    const int noted[] = {g_iLWaitTime, g_iThresholdTime, g_iAErrorCnt, g_iMBoardCnt,
                         g_iMcTblDiff, g_iActionMode,    g_iSmartMode};
    vSettingsDefault();
    FZ_CHECK(iIniFileRead() == 1);
    const int read[] = {g_iLWaitTime, g_iThresholdTime, g_iAErrorCnt, g_iMBoardCnt,
                        g_iMcTblDiff, g_iActionMode,    g_iSmartMode};
    FZ_CHECK(memcmp(noted, read, sizeof read) == 0);

    for (auto &key : g_cAErrSenseKey)
        FZ_CHECK(bTerminated(key, sizeof key));
    for (auto &name : g_cMBoardName)
        FZ_CHECK(bTerminated(name, sizeof name));
    FZ_CHECK(bTerminated(g_cLibFileName, sizeof g_cLibFileName));
    FZ_CHECK(g_cLibFileName[0] != '\0');
    FZ_CHECK(strchr(g_cLibFileName, '\n') == nullptr);
    // Substituted values: none of these may read as 0.
    FZ_CHECK(g_iLWaitTime != 0 && g_iAErrorCnt != 0 && g_iHistoryCnt != 0);
    FZ_CHECK(g_iAErrorCntHDD != 0 && g_iAErrorCntSSD != 0 && g_iThresholdTime != 0);

    // The users of the counts and the window stay inside their lists and ring.
    for (int ring : {0, 1, g_iMcTblDiff & (RING_SIZE - 1), RING_SIZE - 1}) {
        for (int wrapped : {0, 1}) {
            int slot = iMediumBaseSlot(ring, wrapped, g_iMcTblDiff);
            FZ_CHECK(slot >= 0 && slot < RING_SIZE);
        }
    }
    const unsigned codes[][3] = {{0, 0, 0}, {3, 0x11, 0}, {0xff, 0xff, 0xff}, {6, 0x29, 2}};
    for (auto &c : codes)
        (void)iSenseKeep(c[0], c[1], c[2]);
    return 0;
}
