// Drives the built controller simulator through raw command blocks, laid out
// here byte by byte so that the simulator's own layout is checked too.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Entry = int (*)(void *);

Entry entry() {
    static Entry fn = [] {
        void *h = dlopen(KESTRUN_SIM_LIB, RTLD_NOW | RTLD_LOCAL);
        return h ? reinterpret_cast<Entry>(dlsym(h, "ProcessLibCommand")) : nullptr;
    }();
    return fn;
}

uint16_t r16(const std::vector<uint8_t> &b, size_t o) {
    return static_cast<uint16_t>(b[o] | b[o + 1] << 8);
}
uint32_t r32(const std::vector<uint8_t> &b, size_t o) {
    return static_cast<uint32_t>(r16(b, o)) | static_cast<uint32_t>(r16(b, o + 2)) << 16;
}

struct Cmd {
    uint8_t cat = 0, op = 0;
    uint32_t ctrl = 0;
    uint16_t dev = 0, ref = 0;
    uint32_t arg = 0;
    uint32_t len = 0;
    void *buf = nullptr;
};

std::vector<uint8_t> blockOf(const Cmd &c) {
    std::vector<uint8_t> b(40, 0);
    b[0] = c.cat;
    b[1] = c.op;
    for (int i = 0; i < 4; i++) {
        b[4 + i] = static_cast<uint8_t>(c.ctrl >> 8 * i);
        b[16 + i] = static_cast<uint8_t>(c.arg >> 8 * i);
        b[28 + i] = static_cast<uint8_t>(c.len >> 8 * i);
    }
    b[8] = static_cast<uint8_t>(c.dev);
    b[9] = static_cast<uint8_t>(c.dev >> 8);
    b[10] = static_cast<uint8_t>(c.ref);
    b[11] = static_cast<uint8_t>(c.ref >> 8);
    uint64_t p = reinterpret_cast<uintptr_t>(c.buf);
    for (int i = 0; i < 8; i++)
        b[32 + i] = static_cast<uint8_t>(p >> 8 * i);
    return b;
}

int run(const Cmd &c) {
    std::vector<uint8_t> b = blockOf(c);
    return entry()(b.data());
}

constexpr int kInvalidCommand = 1, kInvalidBlock = 2, kBadLength = 3, kBadController = 4,
              kNoDevice = 5, kNoLd = 6, kStale = 7, kNotAllowed = 8, kNotSpare = 9, kNoEvent = 35,
              kNotRebuilding = 50;
constexpr uint8_t kFailed = 17, kUbad = 1, kUgood = 0;

const char *const kBase = R"(# base scenario
controller 0 model="MegaRAID SAS MODEL-4000"
drive c=0 id=4 seq=7 type=0 media=1 merr=3 pfail=2 state=online
drive c=0 id=5 seq=1 state=online
drive c=0 id=6 seq=1 state=online release=ugood
drive c=0 id=7 seq=1 state=rebuild
drive c=0 id=8 seq=1 state=ugood
drive c=0 id=9 seq=1
spare c=0 id=9 role=dedicated groups=0,2
drive c=0 id=10 seq=1
spare c=0 id=10 role=global
ld c=0 n=0 raid=5 state=optimal members=4,5,7
ld c=0 n=2 raid=1 state=optimal members=5,6
event c=0 seq=100 time=5000 code=267 dev=5 key=6 asc=0x29 ascq=2 desc="Command timeout on PD 05"
event c=0 seq=101 time=5001 code=113
controller 1 model="Second"
)";

class SimLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(entry(), nullptr) << dlerror();
        char tmpl[] = "/tmp/kestrun-sim-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/s.scenario";
        trace_ = dir_ + "/trace";
        setenv("KESTRUN_SIM_SCENARIO", path_.c_str(), 1);
        setenv("KESTRUN_SIM_TRACE", trace_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Atomic replace, as tests and careful editors do.
    static void put(const std::string &path, const std::string &text) {
        std::string tmp = path + ".new";
        std::ofstream(tmp) << text;
        std::rename(tmp.c_str(), path.c_str());
    }
    void scenario(const std::string &text) {
        put(path_, text);
    }
    static std::string slurp(const std::string &path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> traceLines(const std::string &prefix = "") {
        std::vector<std::string> out;
        std::istringstream in(slurp(trace_));
        for (std::string l; std::getline(in, l);)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }

    int fixed(uint8_t cat, uint8_t op, std::vector<uint8_t> &out, uint32_t size, uint16_t dev = 0,
              uint32_t ctrl = 0) {
        out.assign(size, 0xEE);
        return run({cat, op, ctrl, dev, 0, 0, size, out.data()});
    }
    int pdinfo(uint16_t dev, std::vector<uint8_t> &out) {
        return fixed(2, 0, out, 512, dev);
    }
    int ldState(uint8_t ld) {
        std::vector<uint8_t> out(384);
        EXPECT_EQ(run({3, 0, 0, 0, ld, 0, 384, out.data()}), 0);
        return out[38];
    }
    int setState(uint16_t dev, uint16_t ref, uint8_t state) {
        return run({2, 19, 0, dev, ref, state, 0, nullptr});
    }
    int driveState(uint16_t dev) {
        std::vector<uint8_t> out;
        EXPECT_EQ(pdinfo(dev, out), 0);
        return r16(out, 184);
    }
    int evtlist(uint32_t start, uint32_t n, std::vector<uint8_t> &out, uint32_t extra = 0) {
        out.assign(8 + 256 * n + extra, 0);
        out[0] = static_cast<uint8_t>(n);
        Cmd c{7, 1, 0, 0, 0, 0xFFFF, static_cast<uint32_t>(out.size()), out.data()};
        c.dev = static_cast<uint16_t>(start);
        c.ref = static_cast<uint16_t>(start >> 16);
        return run(c);
    }

    std::string dir_, path_, trace_;
};

TEST_F(SimLibrary, ReplyRecordsHaveTheirFieldsAtTheDocumentedOffsets) {
    scenario(kBase);
    std::vector<uint8_t> b;
    ASSERT_EQ(fixed(0, 0, b, 68), 0);
    EXPECT_EQ(r16(b, 0), 2);
    ASSERT_EQ(fixed(1, 0, b, 2048), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(&b[1344]), "MegaRAID SAS MODEL-4000");
    ASSERT_EQ(fixed(1, 4, b, 6152), 0);
    EXPECT_EQ(r32(b, 4), 7u);
    EXPECT_EQ(r16(b, 8), 4);
    EXPECT_EQ(r16(b, 8 + 24 * 6), 10); // file order
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(r16(b, 0), 4);
    EXPECT_EQ(r16(b, 2), 7);
    EXPECT_EQ(b[165], 0);
    EXPECT_EQ(r32(b, 168), 3u);
    EXPECT_EQ(r32(b, 176), 2u);
    EXPECT_EQ(r16(b, 184), 24);
    EXPECT_EQ(b[370], 1);
    ASSERT_EQ(fixed(2, 16, b, 68, 5), 0); // vdno
    EXPECT_EQ(r32(b, 0), 2u);
    EXPECT_EQ(b[4], 0);
    EXPECT_EQ(b[5], 2);
    ASSERT_EQ(fixed(2, 12, b, 40, 9), 0); // dhotinfo
    EXPECT_EQ(b[7], 2);
    EXPECT_EQ(r16(b, 8), 0);
    EXPECT_EQ(r16(b, 10), 2);
    std::vector<uint8_t> ld(384);
    ASSERT_EQ(run({3, 0, 0, 0, 2, 0, 384, ld.data()}), 0); // LD number in byte 10
    EXPECT_EQ(ld[32], 1);
    EXPECT_EQ(ld[38], 3);
    ASSERT_EQ(fixed(7, 0, b, 20), 0);
    EXPECT_EQ(r32(b, 0), 101u);

    ASSERT_EQ(evtlist(100, 4, b), 0);
    EXPECT_EQ(r32(b, 0), 2u);
    EXPECT_EQ(r32(b, 8), 100u);
    EXPECT_EQ(r32(b, 12), 5000u);
    EXPECT_EQ(r16(b, 16), 267);
    EXPECT_EQ(r16(b, 40), 5);
    EXPECT_EQ(b[8 + 58], 6);
    EXPECT_EQ(b[8 + 68], 0x29);
    EXPECT_EQ(b[8 + 69], 2);
    EXPECT_STREQ(reinterpret_cast<const char *>(&b[8 + 128]), "Command timeout on PD 05");
    EXPECT_EQ(r32(b, 264), 101u);
    EXPECT_EQ(r16(b, 264 + 32), 0xFFFF); // not about a drive
}

TEST_F(SimLibrary, EventWindowWrapsAndIsBoundedByTheRequest) {
    scenario("controller 0\n"
             "event c=0 seq=1 code=1\nevent c=0 seq=4294967295 code=2\nevent c=0 seq=9 code=3\n");
    std::vector<uint8_t> b;
    ASSERT_EQ(evtlist(0xFFFFFFFFu, 3, b), 0); // window 2^32-1, 0, 1
    EXPECT_EQ(r32(b, 0), 2u);
    EXPECT_EQ(r32(b, 8), 0xFFFFFFFFu);
    EXPECT_EQ(r32(b, 8 + 256), 1u);
    ASSERT_EQ(evtlist(1, 1, b), 0);
    EXPECT_EQ(r32(b, 0), 1u);
    EXPECT_EQ(evtlist(2, 7, b), kNoEvent); // 2..8: nothing
    ASSERT_EQ(evtlist(2, 8, b), 0);
    EXPECT_EQ(r32(b, 8), 9u);
    // The log runs 2^32-1, 1, 9 in that order: the newest is 9, not the highest.
    ASSERT_EQ(fixed(7, 0, b, 20), 0);
    EXPECT_EQ(r32(b, 0), 9u);
}

TEST_F(SimLibrary, MalformedBlocksAreRejected) {
    scenario(kBase);
    std::vector<uint8_t> out(512);
    Cmd good{2, 0, 0, 4, 0, 0, 512, out.data()};
    ASSERT_EQ(run(good), 0);
    for (int off : {2, 3, 12, 13, 14, 15, 20, 21, 22, 23, 24, 25, 26, 27}) {
        std::vector<uint8_t> b = blockOf(good);
        b[static_cast<size_t>(off)] = 1;
        EXPECT_EQ(entry()(b.data()), kInvalidBlock) << "byte " << off;
    }
    EXPECT_EQ(entry()(nullptr), kInvalidBlock);
    EXPECT_EQ(run({2, 99, 0, 4, 0, 0, 512, out.data()}), kInvalidCommand);
    EXPECT_EQ(run({2, 0, 0, 4, 1, 0, 512, out.data()}), kInvalidBlock); // ref unused
    EXPECT_EQ(run({2, 0, 0, 4, 0, 5, 512, out.data()}), kInvalidBlock); // arg unused
    EXPECT_EQ(run({0, 0, 1, 0, 0, 0, 68, out.data()}), kInvalidBlock);  // ctrlsearch has no ctrl
    EXPECT_EQ(run({3, 0, 0, 1, 0, 0, 384, out.data()}), kInvalidBlock); // byte 8 set
    EXPECT_EQ(run({2, 0, 0, 4, 0, 0, 511, out.data()}), kBadLength);
    EXPECT_EQ(run({2, 0, 0, 4, 0, 0, 513, out.data()}), kBadLength);
    EXPECT_EQ(run({2, 0, 0, 4, 0, 0, 512, nullptr}), kBadLength);
    EXPECT_EQ(run({2, 19, 0, 4, 7, kFailed, 0, out.data()}), kBadLength); // no-reply with buffer
    EXPECT_EQ(run({2, 19, 0, 4, 7, kFailed, 4, nullptr}), kBadLength);
    EXPECT_EQ(run({2, 19, 0, 4, 7, kFailed | 0x100, 0, nullptr}), kInvalidBlock);
    EXPECT_EQ(run({2, 0, 2, 4, 0, 0, 512, out.data()}), kBadController);
    EXPECT_EQ(run({2, 0, 0, 44, 0, 0, 512, out.data()}), kNoDevice);
    EXPECT_EQ(run({3, 0, 0, 0, 1, 0, 384, out.data()}), kNoLd);
    EXPECT_EQ(run({3, 0, 0, 0, 2 | 1 << 8, 0, 384, out.data()}), kInvalidBlock); // byte 11 set

    std::vector<uint8_t> ev(8 + 256 * 2, 0);
    ev[0] = 2;
    EXPECT_EQ(run({7, 1, 0, 100, 0, 0xFFFE, static_cast<uint32_t>(ev.size()), ev.data()}),
              kInvalidBlock);
    EXPECT_EQ(run({7, 1, 0, 100, 0, 0xFFFF, static_cast<uint32_t>(ev.size()) - 1, ev.data()}),
              kBadLength);
    ev[0] = 0;
    EXPECT_EQ(run({7, 1, 0, 100, 0, 0xFFFF, static_cast<uint32_t>(ev.size()), ev.data()}),
              kBadLength);
    EXPECT_EQ(run({7, 1, 0, 100, 0, 0xFFFF, 4, ev.data()}), kBadLength);
    EXPECT_EQ(driveState(4), 24); // nothing above changed anything
}

TEST_F(SimLibrary, DriveChangesNeedTheCurrentSequenceAndAllowedTransitions) {
    scenario(kBase);
    EXPECT_EQ(setState(4, 6, kFailed), kStale);
    EXPECT_EQ(setState(4, 7, kUbad), kNotAllowed); // online -> ubad
    EXPECT_EQ(setState(4, 7, kFailed), 0);
    std::vector<uint8_t> b;
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(r16(b, 2), 8); // bumped
    EXPECT_EQ(r16(b, 184), kFailed);
    EXPECT_EQ(setState(4, 7, kFailed), kStale);
    EXPECT_EQ(setState(4, 8, kFailed), kNotAllowed); // already failed

    EXPECT_EQ(setState(8, 1, kFailed), kNotAllowed); // ugood cannot fail
    EXPECT_EQ(setState(8, 1, kUbad), 0);
    EXPECT_EQ(setState(8, 2, kUbad), kNotAllowed);
    EXPECT_EQ(setState(8, 2, kUgood), 0);
    EXPECT_EQ(setState(8, 3, 24), kNotAllowed);

    EXPECT_EQ(setState(7, 1, kFailed), 0); // rebuilding drive may be failed too
    EXPECT_EQ(run({2, 6, 0, 7, 2, 0, 0, nullptr}), kNotRebuilding);
    EXPECT_EQ(run({2, 6, 0, 5, 1, 0, 0, nullptr}), kNotRebuilding);
    EXPECT_EQ(run({2, 13, 0, 5, 1, 0, 0, nullptr}), kNotSpare);
    EXPECT_EQ(setState(44, 1, kFailed), kNoDevice);

    // release=ugood: the controller hands the drive back unconfigured.
    EXPECT_EQ(setState(6, 1, kFailed), 0);
    EXPECT_EQ(driveState(6), kUgood);
    EXPECT_EQ(ldState(2), 2);
    std::vector<uint8_t> v;
    ASSERT_EQ(fixed(2, 16, v, 68, 6), 0);
    EXPECT_EQ(r32(v, 0), 0u);
}

TEST_F(SimLibrary, RebuildCancelFailsTheDrive) {
    scenario(std::string(kBase) + "drive c=0 id=11 seq=65535 state=rebuild release=ugood\n");
    EXPECT_EQ(run({2, 6, 0, 7, 1, 0, 0, nullptr}), 0);
    EXPECT_EQ(driveState(7), kFailed);
    EXPECT_EQ(ldState(0), 3); // it was not an online member
    EXPECT_EQ(run({2, 6, 0, 11, 65535, 0, 0, nullptr}), 0);
    std::vector<uint8_t> b;
    ASSERT_EQ(pdinfo(11, b), 0);
    EXPECT_EQ(r16(b, 184), kUgood);
    EXPECT_EQ(r16(b, 2), 0); // wrapped
}

TEST_F(SimLibrary, FailingOnlineMembersDegradesTheirLogicalDrives) {
    struct Case {
        int raid;
        std::vector<int> after; // LD state after each failed member
    };
    for (const Case &c : {Case{0, {0}}, Case{1, {2, 0}}, Case{5, {2, 0, 0}}, Case{10, {2, 0}},
                          Case{6, {1, 2, 0, 0}}}) {
        std::string text = "controller 0\nld c=0 n=3 raid=" + std::to_string(c.raid) +
                           " state=optimal members=1,2,3,4\n";
        for (int d = 1; d <= 4; d++)
            text += "drive c=0 id=" + std::to_string(d) + " seq=0 state=online\n";
        scenario(text);
        for (size_t i = 0; i < c.after.size(); i++) {
            ASSERT_EQ(setState(static_cast<uint16_t>(i + 1), 0, kFailed), 0);
            EXPECT_EQ(ldState(3), c.after[i]) << "raid " << c.raid << " failure " << i + 1;
        }
    }
}

TEST_F(SimLibrary, OnlyDedicatedSparesReportDriveGroupsAndRemovalFreesThem) {
    scenario(kBase);
    std::vector<uint8_t> b;
    EXPECT_EQ(fixed(2, 12, b, 40, 10), kNotSpare); // global
    EXPECT_EQ(fixed(2, 12, b, 40, 4), kNotSpare);  // online drive
    EXPECT_EQ(run({2, 13, 0, 9, 0, 0, 0, nullptr}), kStale);
    EXPECT_EQ(run({2, 13, 0, 9, 1, 0, 0, nullptr}), 0);
    EXPECT_EQ(driveState(9), kUgood);
    EXPECT_EQ(fixed(2, 12, b, 40, 9), kNotSpare);
    EXPECT_EQ(run({2, 13, 0, 10, 1, 0, 0, nullptr}), 0);
    EXPECT_EQ(driveState(10), kUgood);
}

TEST_F(SimLibrary, InjectedFaultsCountDownAndMatchTheirFilters) {
    scenario(std::string(kBase) + "fault cmd=pdinfo id=5 status=77 times=2\n"
                                  "fault cmd=ldinfo c=0 status=78\n");
    std::vector<uint8_t> b;
    EXPECT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(pdinfo(5, b), 77);
    EXPECT_NE(slurp(path_).find("fault cmd=pdinfo id=5 status=77 times=1"), std::string::npos);
    EXPECT_EQ(pdinfo(5, b), 77);
    EXPECT_EQ(pdinfo(5, b), 0);
    EXPECT_EQ(slurp(path_).find("cmd=pdinfo"), std::string::npos);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(run({3, 0, 0, 0, 0, 0, 384, b.data()}), 78);
    b.assign(384, 0);
    EXPECT_EQ(run({3, 0, 1, 0, 0, 0, 384, b.data()}), kNoLd); // controller 1 unaffected
}

TEST_F(SimLibrary, CountOverridesNeverWritePastTheBuffer) {
    scenario(std::string(kBase) +
             "override field=pdcount value=300\noverride field=ctrlcount value=9\n"
             "override field=ldcount id=5 value=100\noverride field=arraycount value=200\n"
             "override field=eventcount c=0 value=1000\n");
    struct Case {
        uint8_t cat, op;
        uint32_t size;
        uint16_t dev;
        size_t countOff;
        uint32_t expect;
    };
    for (const Case &c : {Case{0, 0, 68, 0, 0, 9}, Case{1, 4, 6152, 0, 4, 300},
                          Case{2, 16, 68, 5, 0, 100}, Case{2, 12, 40, 9, 7, 200}}) {
        std::vector<uint8_t> b(c.size + 64, 0xA5);
        ASSERT_EQ(run({c.cat, c.op, 0, c.dev, 0, 0, c.size, b.data()}), 0);
        uint32_t got = c.size == 40                 ? b[7]
                       : c.size == 68 && c.cat == 0 ? r16(b, 0)
                                                    : r32(b, c.countOff);
        EXPECT_EQ(got, c.expect);
        for (size_t i = c.size; i < b.size(); i++)
            ASSERT_EQ(b[i], 0xA5) << "guard byte " << i - c.size << " of command " << int(c.op);
    }
    std::vector<uint8_t> b;
    ASSERT_EQ(evtlist(100, 1, b, 64), 0);
    EXPECT_EQ(r32(b, 0), 1000u);
    for (size_t i = 8 + 256; i < b.size(); i++)
        ASSERT_EQ(b[i], 0);
}

TEST_F(SimLibrary, TimelineAppliesLinesAtTheNthCall) {
    scenario(std::string(kBase) +
             "at cmd=pdlist n=3 drive c=0 id=5 merr=40\n"
             "at cmd=pdlist n=2 event c=0 seq=102 code=267 dev=4 desc=\"late\"\n");
    std::vector<uint8_t> b;
    ASSERT_EQ(fixed(1, 4, b, 6152), 0);
    ASSERT_EQ(fixed(1, 4, b, 6152), 0);
    ASSERT_EQ(fixed(7, 0, b, 20), 0);
    EXPECT_EQ(r32(b, 0), 102u);
    ASSERT_EQ(pdinfo(5, b), 0);
    EXPECT_EQ(r32(b, 168), 0u);
    ASSERT_EQ(fixed(1, 4, b, 6152), 0);
    ASSERT_EQ(pdinfo(5, b), 0);
    EXPECT_EQ(r32(b, 168), 40u);
    EXPECT_EQ(r16(b, 184), 24); // other fields kept
    EXPECT_NE(slurp(path_).find("at cmd=pdlist n=3 fired=yes drive c=0 id=5 merr=40"),
              std::string::npos);
    EXPECT_EQ(traceLines("FIRE").size(), 2u);
}

TEST_F(SimLibrary, StateSurvivesARestartAndAddFilesApplyOnce) {
    scenario(std::string(kBase) + "hold cmd=ctrlinfo ms=1 times=3\n");
    ASSERT_EQ(setState(5, 1, kFailed), 0);
    std::vector<uint8_t> b;
    ASSERT_EQ(fixed(1, 0, b, 2048), 0);
    put(path_ + ".add", "drive c=0 id=12 seq=3 state=ugood\nbogus line\n");
    ASSERT_EQ(fixed(1, 4, b, 6152), 0);
    EXPECT_EQ(r32(b, 4), 8u);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".add"));
    EXPECT_EQ(traceLines("ERROR").size(), 1u);

    // A restarted daemon: a fresh simulator state read from the file alone.
    std::string copy = dir_ + "/restart.scenario";
    std::filesystem::copy_file(path_, copy);
    setenv("KESTRUN_SIM_SCENARIO", copy.c_str(), 1);
    EXPECT_EQ(driveState(5), kFailed);
    EXPECT_EQ(ldState(0), 2);
    EXPECT_EQ(ldState(2), 2);
    ASSERT_EQ(pdinfo(5, b), 0);
    EXPECT_EQ(r16(b, 2), 2);
    EXPECT_EQ(driveState(12), kUgood);
    EXPECT_NE(slurp(copy).find("hold cmd=ctrlinfo ms=1 times=2"), std::string::npos);
    EXPECT_NE(slurp(copy).find("# rejected: bogus line"), std::string::npos);
}

TEST_F(SimLibrary, FileIsRereadOnlyWhenItChanges) {
    scenario(kBase);
    std::vector<uint8_t> b;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(pdinfo(4, b), 0);
    ASSERT_EQ(setState(4, 7, kFailed), 0); // our own write-back
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(traceLines("LOAD").size(), 1u);

    // Same size, same mtime, same inode: indistinguishable, so not reread.
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    std::string text = slurp(path_);
    size_t at = text.find("merr=3 ");
    ASSERT_NE(at, std::string::npos);
    text[at + 5] = '9';
    std::ofstream(path_, std::ios::in | std::ios::out) << text;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(r32(b, 168), 3u);

    times[1].tv_sec += 1;
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_EQ(r32(b, 168), 9u);
    EXPECT_EQ(traceLines("LOAD").size(), 2u);
}

TEST_F(SimLibrary, MissingScenarioMeansNoControllers) {
    std::vector<uint8_t> b;
    ASSERT_EQ(fixed(0, 0, b, 68), 0);
    EXPECT_EQ(r16(b, 0), 0);
    EXPECT_EQ(fixed(1, 0, b, 2048), kBadController);
}

TEST_F(SimLibrary, DemoScenarioLoadsCleanlyAndPlaysItsTimeline) {
    std::filesystem::copy_file(KESTRUN_SOURCE_DIR "/sim/demo.scenario", path_);
    std::vector<uint8_t> b;
    ASSERT_EQ(fixed(1, 0, b, 2048), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(&b[1344]), "MegaRAID SAS MODEL-4000");
    EXPECT_EQ(ldState(0), 3);
    EXPECT_EQ(ldState(2), 3);
    ASSERT_EQ(fixed(2, 12, b, 40, 14), 0);
    EXPECT_EQ(b[7], 2);
    EXPECT_EQ(fixed(2, 12, b, 40, 15), kNotSpare);
    uint32_t merr = 0;
    for (int cycle = 1; cycle <= 4; cycle++) {
        ASSERT_EQ(fixed(1, 4, b, 6152), 0);
        EXPECT_EQ(r32(b, 4), 12u);
        ASSERT_EQ(pdinfo(1, b), 0);
        if (cycle > 1) {
            EXPECT_GT(r32(b, 168), merr) << "cycle " << cycle;
        }
        merr = r32(b, 168);
    }
    ASSERT_EQ(fixed(7, 0, b, 20), 0);
    EXPECT_EQ(r32(b, 0), 1004u);
    EXPECT_TRUE(traceLines("ERROR").empty());
}

TEST_F(SimLibrary, TraceRecordsEveryCallAndHolds) {
    scenario(kBase + std::string("hold cmd=pdinfo id=4 ms=30 times=1\n"));
    std::vector<uint8_t> b;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(pdinfo(4, b), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
    // The hold is used up: the trace below shows no second HOLD line (an upper
    // bound on the time would only measure the machine's load).
    ASSERT_EQ(setState(4, 7, kFailed), 0);

    std::vector<std::string> lines = traceLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "LOAD " + path_);
    EXPECT_EQ(lines[1], "HOLD pdinfo ms=30");
    // "<call> pdinfo ... raw=<80 hex digits>"; the buffer address is the last 16.
    const std::string fields =
        " pdinfo cat=2 op=0 ctrl=0 dev=4 ref=0 start=4 arg=0 len=512 status=0 "
        "raw=0200000000000000040000000000000000000000000000000000000000020000";
    size_t sp = lines[2].find(' ');
    ASSERT_NE(sp, std::string::npos);
    EXPECT_EQ(lines[2].substr(sp, fields.size()), fields);
    EXPECT_EQ(lines[2].size(), sp + fields.size() + 16);
    EXPECT_EQ(lines[2].find_first_not_of("0123456789abcdef", sp + fields.size()),
              std::string::npos);
    EXPECT_EQ(std::stoul(lines[2].substr(0, sp)) + 1,
              std::stoul(lines[3].substr(0, lines[3].find(' '))));
    EXPECT_NE(lines[3].find(" setstate cat=2 op=19 ctrl=0 dev=4 ref=7 start=458756 arg=17 len=0 "
                            "status=0 raw=02130000000000000400070000000000110000000000000000000000"
                            "000000000000000000000000"),
              std::string::npos)
        << lines[3];
}

} // namespace
