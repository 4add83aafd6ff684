// Controller simulator: exports the vendor library's single entry point and
// answers from a scenario file. Loaded by the daemon in place of the real
// library, so it checks command blocks at least as strictly as a controller.
#include "sim_model.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

using namespace kestrun_sim;

namespace {

enum Status {
    ST_OK = 0,
    ST_INVALID_COMMAND = 1,
    ST_INVALID_BLOCK = 2,
    ST_BAD_LENGTH = 3,
    ST_INVALID_CONTROLLER = 4,
    ST_NO_DEVICE = 5,
    ST_NO_LD = 6,
    ST_STALE_SEQUENCE = 7,
    ST_NOT_ALLOWED = 8,
    ST_NOT_SPARE = 9,
    ST_INTERNAL = 10,
    ST_NO_EVENT = 35,
    ST_NOT_REBUILDING = 50,
};

constexpr size_t kBlockSize = 40;
constexpr uint32_t kCtrlListSize = 68;
constexpr uint32_t kCtrlInfoSize = 2048;
constexpr uint32_t kPdListSize = 8 + 256 * 24;
constexpr uint32_t kPdInfoSize = 512;
constexpr uint32_t kSpareInfoSize = 40;
constexpr uint32_t kPdLdListSize = 68;
constexpr uint32_t kLdInfoSize = 384;
constexpr uint32_t kEvtInfoSize = 20;
constexpr uint32_t kEventRecord = 256;
constexpr uint32_t kEvtArgument = 0xFFFF;

// What a command carries in bytes 8-11, bytes 16-19 and the data buffer.
enum Where { W_NONE, W_DEV, W_DEV_REF, W_LD, W_START };
enum Arg { A_NONE, A_STATE, A_EVT };
struct CmdLayout {
    uint8_t cat, op;
    bool ctrl; // uses controllerId
    Where where;
    Arg arg;
    uint32_t size; // fixed reply size; 0 = no reply; UINT32_MAX = event list
};
constexpr uint32_t kVariable = 0xffffffffu;
const CmdLayout kCommands[CMD_ANY] = {
    {0, 0, false, W_NONE, A_NONE, kCtrlListSize}, // ctrlsearch
    {1, 0, true, W_NONE, A_NONE, kCtrlInfoSize},  // ctrlinfo
    {1, 4, true, W_NONE, A_NONE, kPdListSize},    // pdlist
    {2, 0, true, W_DEV, A_NONE, kPdInfoSize},     // pdinfo
    {2, 6, true, W_DEV_REF, A_NONE, 0},           // rebuildcancel
    {2, 12, true, W_DEV, A_NONE, kSpareInfoSize}, // dhotinfo
    {2, 13, true, W_DEV_REF, A_NONE, 0},          // removespare
    {2, 16, true, W_DEV, A_NONE, kPdLdListSize},  // vdno
    {2, 19, true, W_DEV_REF, A_STATE, 0},         // setstate
    {3, 0, true, W_LD, A_NONE, kLdInfoSize},      // ldinfo
    {7, 0, true, W_NONE, A_NONE, kEvtInfoSize},   // evtseqinfo
    {7, 1, true, W_START, A_EVT, kVariable},      // evtlist
};

uint16_t get16(const uint8_t *b) {
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
uint32_t get32(const uint8_t *b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}
void put16(uint8_t *b, size_t off, uint16_t v) {
    b[off] = static_cast<uint8_t>(v);
    b[off + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[off + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t *b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; i++)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Inquiry text @4 (96 bytes, blank-padded), SAS addresses @200 and @208,
// enclosure device id @256, slot @259 (defaults made when the drive was
// declared).
void putIdentity(uint8_t *out, const Drive &d) {
    std::memcpy(out + 4, d.inquiryBytes.data(), kMaxInquiry);
    put64(out, 200, d.sas);
    put64(out, 208, d.sas2);
    put16(out, 256, d.enclosure);
    out[259] = d.slotNumber;
}

struct Block {
    uint8_t raw[kBlockSize];
    uint8_t cat, op;
    uint32_t ctrl;
    uint16_t dev, ref;
    uint32_t start, arg, len;
    uint8_t *buf;
};

Block decode(const void *p) {
    Block b;
    std::memcpy(b.raw, p, kBlockSize);
    b.cat = b.raw[0];
    b.op = b.raw[1];
    b.ctrl = get32(b.raw + 4);
    b.dev = get16(b.raw + 8);
    b.ref = get16(b.raw + 10);
    b.start = get32(b.raw + 8);
    b.arg = get32(b.raw + 16);
    b.len = get32(b.raw + 28);
    uint64_t ptr = 0;
    for (int i = 7; i >= 0; i--)
        ptr = ptr << 8 | b.raw[32 + i];
    b.buf = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(ptr));
    return b;
}

struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    time_t msec = 0;
    long mnsec = 0;
    mode_t mode = 0644;
};

FileId idOf(const struct stat &st) {
    FileId f;
    f.exists = true;
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.size = st.st_size;
    f.msec = st.st_mtim.tv_sec;
    f.mnsec = st.st_mtim.tv_nsec;
    f.mode = st.st_mode & 07777;
    return f;
}

bool sameFile(const FileId &a, const struct stat &st) {
    return a.exists && a.dev == st.st_dev && a.ino == st.st_ino && a.size == st.st_size &&
           a.msec == st.st_mtim.tv_sec && a.mnsec == st.st_mtim.tv_nsec;
}

struct Sim {
    std::mutex mu;
    bool pathChosen = false;
    std::string path, addPath;
    std::string defaultPath;
    FileId file;
    // Kept open on the file we last read or wrote: while we hold it its inode
    // number cannot be reused, so a replacement always looks different even
    // with the same size within one coarse mtime tick.
    int heldFd = -1;
    Scenario sc;
    uint64_t counts[CMD_SLOTS] = {}; // calls per command since this scenario path was chosen
    uint64_t callNo = 0;
    bool traceChosen = false;
    std::string tracePath;
    int traceFd = -1;
};
Sim g;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

void holdFile(int fd) {
    if (g.heldFd >= 0)
        close(g.heldFd);
    g.heldFd = fd;
}

void traceWrite(const char *text, size_t n) {
    if (g.traceFd < 0)
        return;
    while (n > 0) {
        ssize_t w = write(g.traceFd, text, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

__attribute__((format(printf, 1, 2))) void traceLine(const char *fmt, ...) {
    if (g.traceFd < 0)
        return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len =
        static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2;
    line[len++] = '\n';
    traceWrite(line, len);
}

// Scenario problems go to the trace and to stderr: a test writer sees them
// in either place, an administrator in the daemon's error output.
void reportError(const std::string &msg) {
    traceLine("ERROR %s", msg.c_str());
    std::fprintf(stderr, "storelib-sim: %s\n", msg.c_str());
}

void chooseTrace() {
    const char *t = std::getenv("KESTRUN_SIM_TRACE");
    if (!t || !*t) {
        if (g.traceFd >= 0)
            close(g.traceFd);
        g.traceFd = -1;
        g.traceChosen = false;
        return;
    }
    if (g.traceChosen && g.tracePath == t)
        return;
    if (g.traceFd >= 0)
        close(g.traceFd);
    g.tracePath = t;
    g.traceChosen = true;
    g.traceFd = open(t, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

const std::string &defaultScenarioPath() {
    if (g.defaultPath.empty()) {
        Dl_info info{};
        std::string dir = ".";
        if (dladdr(reinterpret_cast<void *>(&defaultScenarioPath), &info) && info.dli_fname) {
            std::string lib = info.dli_fname;
            size_t slash = lib.rfind('/');
            if (slash != std::string::npos)
                dir = slash == 0 ? "/" : lib.substr(0, slash);
        }
        g.defaultPath = dir + (dir == "/" ? "" : "/") + "storelib-sim.scenario";
    }
    return g.defaultPath;
}

void choosePath() {
    const char *e = std::getenv("KESTRUN_SIM_SCENARIO");
    const char *want = e && *e ? e : defaultScenarioPath().c_str();
    if (g.pathChosen && g.path == want)
        return;
    // A different scenario is a different machine: start from scratch.
    g.path = want;
    g.addPath = g.path + ".add";
    g.pathChosen = true;
    g.file = FileId();
    holdFile(-1);
    g.sc = Scenario();
    for (uint64_t &c : g.counts)
        c = 0;
}

bool readAll(int fd, std::string &out) {
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

void applyText(Scenario &sc, const std::string &text, const std::string &source) {
    size_t pos = 0, lineNo = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        lineNo++;
        std::string err;
        if (!applyLine(&sc, line, err)) {
            reportError(source + ":" + std::to_string(lineNo) + ": " + err);
            sc.rejected.push_back(line);
        }
    }
}

void writeBack() {
    std::string text = renderScenario(g.sc);
    std::string tmp = g.path + ".tmpXXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        reportError("cannot write " + g.path + ": " + std::strerror(errno));
        return;
    }
    bool ok = true;
    struct stat st {};
    FdCloser closer{fd};
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        ok = w > 0;
        if (ok)
            done += static_cast<size_t>(w);
    }
    ok = ok && fchmod(fd, g.file.exists ? g.file.mode : 0644) == 0 && fsync(fd) == 0 &&
         fstat(fd, &st) == 0;
    if (!ok || rename(tmp.c_str(), g.path.c_str()) != 0) {
        reportError("cannot write " + g.path + ": " + std::strerror(errno));
        unlink(tmp.c_str());
        return;
    }
    size_t slash = g.path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : g.path.substr(0, slash);
    FdCloser dirFd{open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dirFd.fd >= 0)
        fsync(dirFd.fd);
    // Our own rewrite must not count as an outside change.
    g.file = idOf(st);
    holdFile(closer.release());
}

void loadScenario() {
    FdCloser fd{open(g.path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    std::string text;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !readAll(fd.fd, text)) {
        g.file = FileId();
        g.sc = Scenario();
        holdFile(-1);
        return;
    }
    Scenario fresh;
    traceLine("LOAD %s", g.path.c_str());
    applyText(fresh, text, g.path);
    g.sc = std::move(fresh);
    g.file = idOf(st);
    holdFile(fd.release());
}

// Lines dropped in `<scenario>.add` are applied once, then merged into the
// scenario file. Renaming first means a newer .add written meanwhile waits
// for the next call instead of being lost.
void applyAddFile() {
    std::string taken = g.addPath + "." + std::to_string(getpid()) + ".taken";
    if (rename(g.addPath.c_str(), taken.c_str()) != 0)
        return;
    std::string text;
    {
        FdCloser fd{open(taken.c_str(), O_RDONLY | O_CLOEXEC)};
        if (fd.fd < 0 || !readAll(fd.fd, text))
            reportError("cannot read " + taken);
    }
    unlink(taken.c_str());
    traceLine("ADD %s", g.addPath.c_str());
    applyText(g.sc, text, g.addPath);
    writeBack();
}

// Called on every command: one stat for the scenario, one for the .add file.
void refresh() {
    struct stat st;
    if (stat(g.path.c_str(), &st) != 0) {
        if (g.file.exists) { // removed: no controllers any more
            traceLine("LOAD %s missing", g.path.c_str());
            g.file = FileId();
            holdFile(-1);
            g.sc = Scenario();
        }
    } else if (!sameFile(g.file, st)) {
        loadScenario();
    }
    if (stat(g.addPath.c_str(), &st) == 0)
        applyAddFile();
}

int cmdOf(uint8_t cat, uint8_t op) {
    for (int i = 0; i < CMD_ANY; i++)
        if (kCommands[i].cat == cat && kCommands[i].op == op)
            return i;
    return -1;
}

bool allZero(const uint8_t *b, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        if (b[i])
            return false;
    return true;
}

// Format checks a controller makes before looking at its own state.
int validate(const Block &b, int cmd) {
    if (!allZero(b.raw, 2, 4) || !allZero(b.raw, 12, 16) || !allZero(b.raw, 20, 28))
        return ST_INVALID_BLOCK;
    if (cmd < 0)
        return ST_INVALID_COMMAND;
    const CmdLayout &s = kCommands[cmd];
    // Fields a command does not carry must be zero: a value there means the
    // caller put something at the wrong offset.
    if (!s.ctrl && b.ctrl != 0)
        return ST_INVALID_BLOCK;
    switch (s.where) {
    case W_NONE:
        if (b.start != 0)
            return ST_INVALID_BLOCK;
        break;
    case W_DEV:
        if (b.ref != 0)
            return ST_INVALID_BLOCK;
        break;
    case W_LD:
        if (b.dev != 0 || b.raw[11] != 0)
            return ST_INVALID_BLOCK;
        break;
    case W_DEV_REF:
    case W_START:
        break;
    }
    if ((s.arg == A_NONE && b.arg != 0) || (s.arg == A_STATE && (b.arg >> 8) != 0) ||
        (s.arg == A_EVT && b.arg != kEvtArgument))
        return ST_INVALID_BLOCK;
    if (s.size == 0) {
        if (b.len != 0 || b.buf != nullptr)
            return ST_BAD_LENGTH;
    } else if (s.size == kVariable) {
        if (b.buf == nullptr || b.len < 8)
            return ST_BAD_LENGTH;
        uint32_t want = get32(b.buf);
        if (want == 0 || 8 + static_cast<uint64_t>(kEventRecord) * want > b.len)
            return ST_BAD_LENGTH;
    } else if (b.len != s.size || b.buf == nullptr) {
        return ST_BAD_LENGTH;
    }
    if (s.ctrl && b.ctrl >= g.sc.ctrls.size())
        return ST_INVALID_CONTROLLER;
    return ST_OK;
}

bool usesDevice(int cmd) {
    return cmd >= 0 && cmd < CMD_ANY &&
           (kCommands[cmd].where == W_DEV || kCommands[cmd].where == W_DEV_REF);
}

template <class Rule> bool matches(const Rule &r, int cmd, const Block &b) {
    if (r.cmd != CMD_ANY && r.cmd != cmd)
        return false;
    if (r.ctrl >= 0 && (!kCommands[cmd].ctrl || b.ctrl != static_cast<uint32_t>(r.ctrl)))
        return false;
    if (r.dev >= 0 && (!usesDevice(cmd) || b.dev != static_cast<uint32_t>(r.dev)))
        return false;
    return true;
}

// Timeline entries fire on the first call at or past their count, so an
// entry added late (or kept over a restart) still fires.
void fireTimeline(int cmd) {
    bool fired = false;
    for (At &t : g.sc.ats) {
        if (t.fired || (t.cmd != cmd && t.cmd != CMD_ANY) || g.counts[t.cmd] < t.n)
            continue;
        t.fired = true;
        fired = true;
        traceLine("FIRE %s n=%llu %s", cmdName(t.cmd), static_cast<unsigned long long>(t.n),
                  t.line.c_str());
        std::string err;
        if (!applyLine(&g.sc, t.line, err))
            reportError("timeline line '" + t.line + "': " + err);
    }
    if (fired)
        writeBack();
}

bool takeHold(int cmd, const Block &b, uint32_t &ms) {
    for (size_t i = 0; i < g.sc.holds.size(); i++) {
        Hold &h = g.sc.holds[i];
        if (!matches(h, cmd, b))
            continue;
        ms = h.ms;
        if (h.times > 0) {
            // Written back before sleeping: a daemon killed during the hold
            // must not meet the same hold again after its restart.
            if (--h.times == 0)
                g.sc.holds.erase(g.sc.holds.begin() + static_cast<long>(i));
            writeBack();
        }
        return true;
    }
    return false;
}

bool takeFault(int cmd, const Block &b, int &status) {
    for (size_t i = 0; i < g.sc.faults.size(); i++) {
        Fault &f = g.sc.faults[i];
        if (!matches(f, cmd, b))
            continue;
        status = f.status;
        if (f.times > 0) {
            if (--f.times == 0)
                g.sc.faults.erase(g.sc.faults.begin() + static_cast<long>(i));
            writeBack();
        }
        return true;
    }
    return false;
}

// The count a reply reports: the real one unless the scenario makes it lie.
uint32_t countFor(int field, uint32_t ctrl, int dev, uint32_t real) {
    for (const Override &o : g.sc.overrides) {
        if (o.field != field || (o.ctrl >= 0 && static_cast<uint32_t>(o.ctrl) != ctrl) ||
            (o.dev >= 0 && o.dev != dev))
            continue;
        return o.value;
    }
    return real;
}

void sleepMs(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint8_t degraded(uint8_t raid, uint8_t state) {
    if (raid == 0)
        return LS_OFFLINE;
    if (raid == 6)
        return state == LS_OPTIMAL ? LS_PARTIAL : state == LS_PARTIAL ? LS_DEGRADED : LS_OFFLINE;
    return state == LS_OPTIMAL ? LS_DEGRADED : LS_OFFLINE;
}

// A drive leaving the array (failed, or released to unconfigured-good).
void memberLost(Controller &c, uint16_t id, bool wasOnline, bool released) {
    for (Ld &l : c.lds) {
        bool member = false;
        for (size_t i = 0; i < l.members.size(); i++)
            if (l.members[i] == id) {
                member = true;
                if (released)
                    l.members.erase(l.members.begin() + static_cast<long>(i));
                break;
            }
        if (member && wasOnline)
            l.state = degraded(l.raid, l.state);
    }
}

// Sets a drive failed; a drive marked release=ugood is handed back as
// unconfigured-good instead, as some controllers do.
void failDrive(Controller &c, Drive &d) {
    bool wasOnline = d.state == DS_ONLINE;
    d.state = d.releaseUgood ? DS_UGOOD : DS_FAILED;
    memberLost(c, d.id, wasOnline, d.releaseUgood);
}

int changeDrive(int cmd, const Block &b) {
    Controller &c = g.sc.ctrls[b.ctrl];
    Drive *d = c.find(b.dev);
    if (!d)
        return ST_NO_DEVICE;
    if (b.ref != d->seq)
        return ST_STALE_SEQUENCE;
    if (cmd == CMD_SETSTATE) {
        uint8_t to = b.raw[16];
        if (to == DS_FAILED && (d->state == DS_ONLINE || d->state == DS_REBUILD))
            failDrive(c, *d);
        else if (to == DS_UBAD && d->state == DS_UGOOD)
            d->state = DS_UBAD;
        else if (to == DS_UGOOD && d->state == DS_UBAD)
            d->state = DS_UGOOD;
        else
            return ST_NOT_ALLOWED;
    } else if (cmd == CMD_REMOVESPARE) {
        if (d->state != DS_SPARE)
            return ST_NOT_SPARE;
        d->state = DS_UGOOD;
        d->dedicated = false;
        d->spareGroups.clear();
    } else { // rebuildcancel
        if (d->state != DS_REBUILD)
            return ST_NOT_REBUILDING;
        failDrive(c, *d);
    }
    d->seq = static_cast<uint16_t>(d->seq + 1);
    writeBack();
    return ST_OK;
}

// The newest event of a log kept sorted by seq. A controller's log runs on
// through 0 after 0xFFFFFFFF, so a log holding numbers on both sides of the
// wrap ends just before the widest gap between neighbours (counted round the
// circle), not at the highest number.
uint32_t autoNewest(const std::vector<Event> &events) {
    if (events.empty())
        return 0;
    size_t last = events.size() - 1;
    uint32_t widest = events.front().seq - events.back().seq; // round the top
    for (size_t i = 0; i + 1 < events.size(); i++) {
        uint32_t gap = events[i + 1].seq - events[i].seq;
        if (gap > widest) {
            widest = gap;
            last = i;
        }
    }
    return events[last].seq;
}

int eventList(const Block &b) {
    const Controller &c = g.sc.ctrls[b.ctrl];
    uint32_t want = get32(b.buf);
    // Events with seq in [start, start+want) modulo 2^32, in that order.
    uint32_t count = 0;
    auto emit = [&](const Event &e) {
        uint8_t *r = b.buf + 8 + static_cast<size_t>(count) * kEventRecord;
        std::memset(r, 0, kEventRecord);
        put32(r, 0, e.seq);
        put32(r, 4, e.time);
        put16(r, 8, e.code);
        put16(r, 32, e.dev);
        if (e.hasSense) { // fixed-format sense: current error, 10 more bytes
            r[56] = 0x70;
            r[58] = e.key;
            r[63] = 10;
            r[68] = e.asc;
            r[69] = e.ascq;
        }
        std::memcpy(r + 128, e.desc.data(), e.desc.size() < kMaxDesc ? e.desc.size() : kMaxDesc);
        count++;
    };
    auto from = [&](uint32_t seq) {
        size_t lo = 0, hi = c.events.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (c.events[mid].seq < seq)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    };
    uint64_t end = static_cast<uint64_t>(b.start) + want;
    for (size_t i = from(b.start); i < c.events.size() && c.events[i].seq < end; i++)
        emit(c.events[i]);
    if (end > 0x100000000ull) // the window wraps past 2^32
        for (size_t i = 0; i < c.events.size() && c.events[i].seq < end - 0x100000000ull; i++)
            emit(c.events[i]);
    if (count == 0 && !c.emptyOk)
        return ST_NO_EVENT;
    put32(b.buf, 0, count == 0 ? 0 : countFor(CF_EVENTCOUNT, b.ctrl, -1, count));
    put32(b.buf, 4, 0);
    return ST_OK;
}

int execute(int cmd, const Block &b) {
    uint8_t *out = b.buf;
    switch (cmd) {
    case CMD_CTRLSEARCH:
        std::memset(out, 0, kCtrlListSize);
        put16(out, 0,
              static_cast<uint16_t>(
                  countFor(CF_CTRLCOUNT, 0, -1, static_cast<uint32_t>(g.sc.ctrls.size()))));
        return ST_OK;
    case CMD_CTRLINFO: {
        const std::string &m = g.sc.ctrls[b.ctrl].model;
        std::memset(out, 0, kCtrlInfoSize);
        std::memcpy(out + 1344, m.data(), m.size() < kMaxModel ? m.size() : kMaxModel);
        return ST_OK;
    }
    case CMD_PDLIST: {
        const Controller &c = g.sc.ctrls[b.ctrl];
        std::memset(out, 0, kPdListSize);
        size_t n = c.drives.size() < kMaxDrives ? c.drives.size() : kMaxDrives;
        for (size_t i = 0; i < n; i++)
            put16(out, 8 + 24 * i, c.drives[i].id);
        put32(out, 4, countFor(CF_PDCOUNT, b.ctrl, -1, static_cast<uint32_t>(n)));
        return ST_OK;
    }
    case CMD_PDINFO: {
        const Drive *d = g.sc.ctrls[b.ctrl].find(b.dev);
        if (!d)
            return ST_NO_DEVICE;
        std::memset(out, 0, kPdInfoSize);
        put16(out, 0, d->id);
        put16(out, 2, d->seq);
        out[165] = d->type;
        put32(out, 168, d->merr);
        put32(out, 176, d->pfail);
        put16(out, 184, d->state);
        putIdentity(out, *d);
        out[370] = d->media;
        return ST_OK;
    }
    case CMD_DHOTINFO: {
        const Drive *d = g.sc.ctrls[b.ctrl].find(b.dev);
        if (!d)
            return ST_NO_DEVICE;
        if (d->state != DS_SPARE || !d->dedicated)
            return ST_NOT_SPARE;
        std::memset(out, 0, kSpareInfoSize);
        size_t n =
            d->spareGroups.size() < kMaxSpareGroups ? d->spareGroups.size() : kMaxSpareGroups;
        for (size_t i = 0; i < n; i++)
            put16(out, 8 + 2 * i, d->spareGroups[i]);
        out[7] =
            static_cast<uint8_t>(countFor(CF_ARRAYCOUNT, b.ctrl, b.dev, static_cast<uint32_t>(n)));
        return ST_OK;
    }
    case CMD_VDNO: {
        const Controller &c = g.sc.ctrls[b.ctrl];
        if (c.slot[b.dev] == kNoSlot)
            return ST_NO_DEVICE;
        std::memset(out, 0, kPdLdListSize);
        uint32_t n = 0;
        for (const Ld &l : c.lds)
            for (uint16_t m : l.members)
                if (m == b.dev) {
                    if (n < 64)
                        out[4 + n] = l.number;
                    n++;
                    break;
                }
        put32(out, 0, countFor(CF_LDCOUNT, b.ctrl, b.dev, n));
        return ST_OK;
    }
    case CMD_LDINFO: {
        const Ld *l = g.sc.ctrls[b.ctrl].findLd(b.raw[10]);
        if (!l)
            return ST_NO_LD;
        std::memset(out, 0, kLdInfoSize);
        out[32] = l->raid;
        out[38] = l->state;
        return ST_OK;
    }
    case CMD_EVTSEQINFO: {
        const Controller &c = g.sc.ctrls[b.ctrl];
        std::memset(out, 0, kEvtInfoSize);
        uint32_t newest = c.newestSet ? c.newest : autoNewest(c.events);
        put32(out, 0, newest);
        return ST_OK;
    }
    case CMD_EVTLIST:
        return eventList(b);
    case CMD_SETSTATE:
    case CMD_REMOVESPARE:
    case CMD_REBUILDCANCEL:
        return changeDrive(cmd, b);
    }
    return ST_INVALID_COMMAND;
}

void traceCall(uint64_t callNo, int cmd, const Block &b, int status) {
    if (g.traceFd < 0)
        return;
    char hex[kBlockSize * 2 + 1];
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < kBlockSize; i++) {
        hex[2 * i] = digits[b.raw[i] >> 4];
        hex[2 * i + 1] = digits[b.raw[i] & 15];
    }
    hex[kBlockSize * 2] = 0;
    traceLine("%llu %s cat=%u op=%u ctrl=%u dev=%u ref=%u start=%u arg=%u len=%u status=%d raw=%s",
              static_cast<unsigned long long>(callNo), cmdName(cmd), b.cat, b.op, b.ctrl, b.dev,
              b.ref, b.start, b.arg, b.len, status, hex);
}

int processCommand(void *p) {
    std::unique_lock<std::mutex> lock(g.mu);
    chooseTrace();
    choosePath();
    refresh();
    uint64_t callNo = ++g.callNo;
    if (!p) {
        traceLine("%llu null status=%d", static_cast<unsigned long long>(callNo), ST_INVALID_BLOCK);
        return ST_INVALID_BLOCK;
    }
    Block b = decode(p);
    int cmd = cmdOf(b.cat, b.op);
    if (cmd >= 0) {
        g.counts[cmd]++;
        g.counts[CMD_ANY]++;
        fireTimeline(cmd);
    }
    int status = validate(b, cmd);
    if (status == ST_OK) {
        uint32_t ms = 0;
        if (takeHold(cmd, b, ms)) {
            traceLine("HOLD %s ms=%u", cmdName(cmd), ms);
            // Other threads may call meanwhile, as with a busy controller.
            lock.unlock();
            sleepMs(ms);
            lock.lock();
            chooseTrace();
            choosePath();
            refresh();
            status = validate(b, cmd);
        }
        if (status == ST_OK && !takeFault(cmd, b, status))
            status = execute(cmd, b);
    }
    traceCall(callNo, cmd, b, status);
    return status;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int ProcessLibCommand(void *p) {
    try {
        return processCommand(p);
    } catch (...) { // out of memory while parsing: never let it reach the daemon
        return ST_INTERNAL;
    }
}
