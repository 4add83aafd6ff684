// The register: start-up re-application over arbitrary register contents and
// controller answers, then an append. The result must be well formed, lose
// exactly the lines of drives read in a state other than unconfigured-good,
// keep those a state change was attempted for (in order), and leave no
// temporary file behind.
#include "fuzz_support.h"

#include "isolate/register.h"
#include "storage/StoreCmd.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

fz::Bytes *g_answers = nullptr;
std::vector<std::pair<uint32_t, uint16_t>> g_changed; // set-state targets, in order
size_t g_dropped = 0; // drive reads answering a state that drops the line

bool g_retry = false; // the last command was a failed state change: the next is its retry

int iFakeLibrary(void *p) {
    auto *cmd = static_cast<CmdParam *>(p);
    bool setState = cmd->category == 2 && cmd->opcode == 19;
    if (setState && !g_retry)
        g_changed.emplace_back(cmd->controllerId, cmd->u.pd.deviceId);
    uint8_t pick = g_answers->u8();
    g_retry = setState && pick >= 0xE0 && !g_retry;
    if (pick >= 0xE0)
        return pick; // a failing status
    if (cmd->category == 2 && cmd->opcode == 0 && cmd->dataBuffer != nullptr) {
        auto *info = static_cast<PdInfo *>(cmd->dataBuffer);
        info->firmwareState = (pick & 3) == 0 ? PD_STATE_UNCONFIGURED_GOOD : g_answers->u16();
        info->sequenceNumber = g_answers->u16();
        g_dropped += info->firmwareState != PD_STATE_UNCONFIGURED_GOOD;
    }
    return 0;
}

// "c,d\n" lines only; fills the drives they name.
bool bWellFormed(const std::string &text, std::vector<std::pair<long, long>> *drives) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(pos, end - pos);
        long c = 0, d = 0;
        int used = 0;
        if (sscanf(line.c_str(), "%ld,%ld%n", &c, &d, &used) != 2 ||
            static_cast<size_t>(used) != line.size())
            return false;
        drives->emplace_back(c, d);
        pos = end + 1;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::moduleDir();
    fz::clearModuleDir();
    fz::Bytes in(data, size);
    size_t registerSize = in.u16() % (in.size() + 1);
    if (!fz::writeFile(REGISTER_FILE_NAME, in.data(), registerSize))
        return 0;
    std::vector<uint8_t> skip(registerSize);
    in.take(skip.data(), registerSize);

    g_answers = &in;
    g_changed.clear();
    g_dropped = 0;
    g_retry = false;
    giCtrlCnt = 4; // lines of controllers 4 and up are kept unasked
    ProcessLibCommandF = iFakeLibrary;
    size_t before = static_cast<size_t>(iRegisterLineCount());
    FZ_CHECK(iHspFlgChk() == 1);
    FZ_CHECK(!fz::exists(REGISTER_NEW_NAME));

    bool present = false;
    std::vector<std::pair<long, long>> kept;
    FZ_CHECK(bWellFormed(fz::readFile(REGISTER_FILE_NAME, &present), &kept));
    FZ_CHECK(present && kept.size() == before - g_dropped);
    size_t matched = 0;
    for (const auto &[c, d] : kept) {
        FZ_CHECK(d >= 0 && d <= 0xFFFF);
        if (matched < g_changed.size() && static_cast<uint32_t>(c) == g_changed[matched].first &&
            d == g_changed[matched].second)
            matched++;
    }
    FZ_CHECK(matched == g_changed.size());

    // The append adds its line once, however often the drive is removed.
    int controller = in.u8() % 8;
    int deviceId = in.u16();
    FZ_CHECK(iHSPFileMake(controller, deviceId) == 1);
    FZ_CHECK(iHSPFileMake(controller, deviceId) == 1);
    auto copies = [&](const std::vector<std::pair<long, long>> &lines) {
        size_t n = 0;
        for (auto &[c, d] : lines)
            n += c == controller && static_cast<uint16_t>(d) == deviceId;
        return n;
    };
    std::vector<std::pair<long, long>> after;
    FZ_CHECK(bWellFormed(fz::readFile(REGISTER_FILE_NAME), &after));
    if (copies(kept) == 0) {
        FZ_CHECK(after.size() == kept.size() + 1 && copies(after) == 1);
        FZ_CHECK(after.back().first == controller && after.back().second == int16_t(deviceId));
    } else {
        // Already registered (in either of its two forms) or not: nothing is lost.
        FZ_CHECK(after.size() <= kept.size() + 1);
        FZ_CHECK(std::equal(kept.begin(), kept.end(), after.begin()));
    }
    ProcessLibCommandF = nullptr;
    return 0;
}
