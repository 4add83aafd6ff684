// In-memory model of the simulated controllers, and the scenario text that
// describes it. Deliberately independent of the daemon's headers: the reply
// layouts are written from the command tables, so the two cross-check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrun_sim {

// Command numbers; CMD_ANY only appears in fault/hold/at filters.
enum Cmd {
    CMD_CTRLSEARCH,
    CMD_CTRLINFO,
    CMD_PDLIST,
    CMD_PDINFO,
    CMD_REBUILDCANCEL,
    CMD_DHOTINFO,
    CMD_REMOVESPARE,
    CMD_VDNO,
    CMD_SETSTATE,
    CMD_LDINFO,
    CMD_EVTSEQINFO,
    CMD_EVTLIST,
    CMD_ANY,
    CMD_SLOTS
};

const char *cmdName(int cmd);
int cmdByName(const std::string &name); // -1 when unknown

enum : uint8_t {
    DS_UGOOD = 0,
    DS_UBAD = 1,
    DS_SPARE = 2,
    DS_FAILED = 17,
    DS_REBUILD = 20,
    DS_ONLINE = 24,
};
enum : uint8_t { LS_OFFLINE = 0, LS_PARTIAL = 1, LS_DEGRADED = 2, LS_OPTIMAL = 3 };

constexpr uint16_t kNoDevice = 0xFFFF; // pdDeviceId of an event not about a drive
constexpr uint16_t kNoSlot = 0xFFFF;
constexpr size_t kMaxControllers = 32;
constexpr size_t kMaxDrives = 256; // pdlist room
constexpr size_t kMaxSpareGroups = 16;
constexpr size_t kMaxMembers = 256;
constexpr size_t kMaxModel = 79;
constexpr size_t kMaxDesc = 127;
constexpr size_t kMaxInquiry = 96;

struct Drive {
    uint16_t id = 0;
    uint16_t seq = 0;
    uint8_t type = 0;
    uint8_t media = 0;
    uint32_t merr = 0;
    uint32_t pfail = 0;
    uint8_t state = DS_UGOOD;
    bool releaseUgood = false;
    // Identity; fields not given are derived from the controller and device
    // id when the drive is declared (see sim/README.md), and only given ones
    // are written back.
    bool hasInquiry = false, hasSas = false, hasSas2 = false, hasEnclosure = false, hasSlot = false;
    std::string inquiry;      // as given, up to kMaxInquiry bytes
    std::string inquiryBytes; // as reported: kMaxInquiry bytes, blank-padded
    uint64_t sas = 0, sas2 = 0;
    uint16_t enclosure = 0;
    uint8_t slotNumber = 0;
    bool dedicated = false;            // dedicated hot spare (state must be spare)
    std::vector<uint16_t> spareGroups; // drive groups it is dedicated to
};

struct Ld {
    uint8_t number = 0;
    uint8_t raid = 0;
    uint8_t state = LS_OPTIMAL;
    std::vector<uint16_t> members; // device ids
};

struct Event {
    uint32_t seq = 0;
    uint32_t time = 0;
    uint16_t code = 0;
    uint16_t dev = kNoDevice;
    bool hasSense = false;
    uint8_t key = 0, asc = 0, ascq = 0;
    std::string desc;
};

struct Controller {
    std::string model;
    bool newestSet = false;
    uint32_t newest = 0;
    bool emptyOk = false; // evtlist of a range without events: success, count 0
    std::vector<Drive> drives;  // pdlist order
    std::vector<uint16_t> slot; // device id -> index in drives (65536 entries)
    std::vector<Ld> lds;        // sorted by number
    std::vector<Event> events;  // sorted by seq

    Drive *find(uint16_t id) {
        uint16_t s = slot[id];
        return s == kNoSlot ? nullptr : &drives[s];
    }
    Ld *findLd(uint8_t n);
    void reindex();
};

enum CountField { CF_CTRLCOUNT, CF_PDCOUNT, CF_LDCOUNT, CF_ARRAYCOUNT, CF_EVENTCOUNT };

struct Override {
    int field = CF_PDCOUNT;
    int ctrl = -1; // -1: any
    int dev = -1;
    uint32_t value = 0;
};

struct Fault {
    int cmd = CMD_ANY;
    int ctrl = -1;
    int dev = -1;
    int status = 0;
    int64_t times = -1; // remaining calls, -1 = always
};

struct Hold {
    int cmd = CMD_ANY;
    int ctrl = -1;
    int dev = -1;
    uint32_t ms = 0;
    int64_t times = -1;
};

struct At {
    int cmd = CMD_ANY;
    uint64_t n = 1;
    bool fired = false;
    std::string line; // the scenario line to apply
};

struct Scenario {
    std::vector<Controller> ctrls;
    std::vector<Override> overrides;
    std::vector<Fault> faults;
    std::vector<Hold> holds;
    std::vector<At> ats;
    std::vector<std::string> rejected; // lines that failed to parse, kept as comments
};

// Parses one scenario line and applies it to st. With st == nullptr only the
// syntax is checked (used for the lines carried by timeline entries). Returns
// false and sets err when the line is bad; st is then unchanged.
bool applyLine(Scenario *st, const std::string &line, std::string &err);

// Renders st in the scenario grammar so that reading it back yields st.
std::string renderScenario(const Scenario &st);

} // namespace kestrun_sim
