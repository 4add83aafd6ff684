// Event history files written by the running daemon: their names, the lines
// in local time, and pruning of earlier runs' files in the module directory.
#include "event_support.h"
#include "fs_flags.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ::testing::ElementsAre;

constexpr const char *kIni = kt::kEventIni;
constexpr long long kStart = 1709255700; // 2024-03-01 01:15:00 UTC, 10:15:00 at UTC+9
constexpr const char *kHistoryUtc = "AERROR_Cnt0_Id5_20240301_011500.dat";
constexpr const char *kHistoryJst = "AERROR_Cnt0_Id5_20240301_101500.dat";

std::string event(int c, unsigned long seq, int code, int dev, long long time,
                  const std::string &desc = "") {
    char buf[128];
    std::snprintf(buf, sizeof buf, "event c=%d seq=%lu time=%lld code=%d dev=%d", c, seq, time,
                  code, dev);
    return buf + (desc.empty() ? std::string() : " desc=\"" + desc + "\"") + "\n";
}

// A scenario line applied just before the n-th sequence-information read.
std::string at(int n, const std::string &line) {
    return "at cmd=evtseqinfo n=" + std::to_string(n) + " " + line;
}

kt::StartOptions fixedClock(const char *tz) {
    kt::StartOptions o;
    o.tz = tz;
    o.fixedTime = kStart;
    return o;
}

using kt::waitReads;

std::vector<std::string> historyFiles(const kt::Daemon &d) {
    std::vector<std::string> out;
    for (const auto &n : d.listModuleDir())
        if (n.rfind("AERROR_", 0) == 0)
            out.push_back(n);
    return out;
}

void setMtime(const std::string &path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Hands the simulator a scenario line while the daemon runs.
void addEvent(const kt::Daemon &d, const std::string &line) {
    const std::string add = d.scenarioPath() + ".add";
    ASSERT_TRUE(kt::Daemon::writeAbs(add + ".tmp", line));
    ASSERT_EQ(std::rename((add + ".tmp").c_str(), add.c_str()), 0);
}

bool injected(const kt::Daemon &d) {
    for (const auto &f : kt::Daemon::listTree(d.root()))
        if (f == "INJECTED" || (f.size() > 9 && f.compare(f.size() - 9, 9, "/INJECTED") == 0))
            return true;
    return false;
}

struct ZoneCase {
    const char *tz;
    const char *date; // the run's start time in the file names
    const char *at0, *at3661, *at31days;
};

class HistoryLines : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(HistoryLines, OneFilePerDriveAndRunWithLinesInLocalTime) {
    const ZoneCase &z = GetParam();
    std::string s = "controller 0\ncontroller 1\ndrive c=0 id=5\ndrive c=0 id=6\ndrive c=1 id=5\n" +
                    event(0, 254, 0, 5, 0) + event(1, 300, 0, 5, 0) +
                    // Cycle 2: read 3 is controller 0's.
                    at(3, event(0, 255, 267, 5, 0, "Command timeout on PD 05\r")) +
                    at(3, event(0, 256, 268, 5, 3661, "first\rsecond")) +
                    at(3, event(0, 257, 113, 6, 2678400)) +
                    at(3, event(1, 301, 267, 5, 2678400, "Sense: 0b/47/00"));
    kt::Daemon d;
    kt::startOn(d, s, kIni, fixedClock(z.tz));
    waitReads(d, 5);
    kt::stopClean(d);

    const std::string date = z.date;
    const std::string c0d5 = "AERROR_Cnt0_Id5_" + date + ".dat",
                      c0d6 = "AERROR_Cnt0_Id6_" + date + ".dat",
                      c1d5 = "AERROR_Cnt1_Id5_" + date + ".dat";
    EXPECT_THAT(historyFiles(d), ElementsAre(c0d5, c0d6, c1d5));
    EXPECT_EQ(kt::readText(d.modulePath(c0d5)),
              std::string(z.at0) + " ff Command timeout on PD 05\n" + z.at3661 + " 100 first\n");
    EXPECT_EQ(kt::readText(d.modulePath(c0d6)), std::string(z.at31days) + " 101 \n");
    EXPECT_EQ(kt::readText(d.modulePath(c1d5)), std::string(z.at31days) + " 12d Sense: 0b/47/00\n");
}

// Event time stamps count from 2000-01-01 00:00:00 at UTC+9.
INSTANTIATE_TEST_SUITE_P(History, HistoryLines,
                         ::testing::Values(ZoneCase{"UTC", "20240301_011500", "1999/12/31 15:00:00",
                                                    "1999/12/31 16:01:01", "2000/1/31 15:00:00"},
                                           ZoneCase{"JST-9", "20240301_101500", "2000/1/1 00:00:00",
                                                    "2000/1/1 01:01:01", "2000/2/1 00:00:00"}),
                         [](const auto &info) {
                             return info.index == 0 ? std::string("Utc") : std::string("Jst");
                         });

struct PruneCase {
    const char *label;
    const char *moduleRel;
    int keep; // HISTORY_COUNT; 7 is its default and is not written
};

void PrintTo(const PruneCase &p, std::ostream *os) {
    *os << p.label;
}

class Pruning : public ::testing::TestWithParam<PruneCase> {};

TEST_P(Pruning, SecondEventOfARunDeletesTheOldestFileOfTheDriveAndNothingElse) {
    const PruneCase &p = GetParam();
    kt::Daemon d(p.moduleRel);
    const time_t now = std::time(nullptr);

    // Earlier runs' files of drive 5, oldest first; one named with shell characters.
    std::vector<std::string> old;
    for (int i = 0; i < p.keep; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "AERROR_Cnt0_Id5_202301%02d_000000.dat", i + 1);
        old.push_back(i == p.keep - 2 ? "AERROR_Cnt0_Id5_$(touch INJECTED);`touch INJECTED` & x.dat"
                                      : name);
        ASSERT_TRUE(d.writeFile(old.back(), "2023/1/1 00:00:00 1 old\n"));
        setMtime(d.modulePath(old.back()), now - 10000 + 100 * i);
    }
    // Never candidates, though older than all of them.
    for (const char *name :
         {".AERROR_Cnt0_Id5_20200101_000000.dat", "AERROR_Cnt0_Id50_20200101_000000.dat",
          "AERROR_Cnt1_Id5_20200101_000000.dat", "AERROR_Cnt0_Id5", "notes.txt",
          "x;touch INJECTED;$(touch INJECTED) `touch INJECTED`.dat"}) {
        ASSERT_TRUE(d.writeFile(name, "keep\n"));
        setMtime(d.modulePath(name), now - 50000);
    }
    ASSERT_TRUE(d.writeFile("AERROR_Cnt0_Id5_20200101_000001.dat/inner", "keep\n"));
    setMtime(d.modulePath("AERROR_Cnt0_Id5_20200101_000001.dat"), now - 50000);
    ASSERT_EQ(::mkfifo(d.modulePath("AERROR_Cnt0_Id5_fifo.dat").c_str(), 0644), 0);
    setMtime(d.modulePath("AERROR_Cnt0_Id5_fifo.dat"), now - 50000);
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni(
        std::string(kIni) +
        (p.keep == 7 ? "" : "[HISTORY]\nHISTORY_COUNT=" + std::to_string(p.keep) + "\n")));
    const auto initial = kt::Daemon::listTree(d.moduleDir());

    ASSERT_TRUE(
        d.writeScenario("controller 0\ndrive c=0 id=5\n" + event(0, 10, 267, 5, 800000000)));
    ASSERT_TRUE(d.start(fixedClock("UTC")));
    ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(" a $"), 1));

    // The first event of the run finds only the earlier files: nothing is deleted.
    auto expected = initial;
    for (const char *name : {kHistoryUtc, kt::kLogName, kt::kWorkTxtName})
        expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kt::Daemon::listTree(d.moduleDir()), expected);

    // The second event finds one file too many.
    addEvent(d, event(0, 11, 268, 5, 800000000));
    ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(" b $"), 1));
    expected.erase(std::find(expected.begin(), expected.end(), old.front()));
    EXPECT_EQ(kt::Daemon::listTree(d.moduleDir()), expected);

    // A quiet event once the file-system clock has moved on, then a file of the
    // drive put back while the daemon runs: the next event still sees it.
    struct stat st {};
    ASSERT_EQ(::stat(d.moduleDir().c_str(), &st), 0);
    ASSERT_TRUE(kt::Daemon::waitFor([&] {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        return now.tv_sec > st.st_mtim.tv_sec ||
               (now.tv_sec == st.st_mtim.tv_sec && now.tv_nsec > st.st_mtim.tv_nsec);
    }));
    addEvent(d, event(0, 12, 268, 5, 800000000));
    ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(" c $"), 1));
    const char *back = "AERROR_Cnt0_Id5_20220101_000000.dat";
    ASSERT_TRUE(d.writeFile(back, "2022/1/1 00:00:00 1 old\n"));
    setMtime(d.modulePath(back), now - 20000);
    addEvent(d, event(0, 13, 268, 5, 800000000));
    ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(" d $"), 1));
    kt::stopClean(d);
    EXPECT_EQ(kt::Daemon::listTree(d.moduleDir()), expected);
    EXPECT_FALSE(injected(d)) << "a file name reached a shell";
    EXPECT_THAT(kt::texts(d.logLines()),
                ::testing::Not(::testing::Contains(::testing::HasSubstr("<5"))));
}

INSTANTIATE_TEST_SUITE_P(
    History, Pruning,
    ::testing::Values(PruneCase{"SevenByDefault", "module", 7},
                      PruneCase{"ModuleDirectoryWithShellCharacters",
                                "mod dir;$(touch INJECTED)`touch INJECTED` & 'q'", 3}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(History, FileThatCannotBeOpenedIsReportedByItsNameAndTheEventStillCounts) {
    kt::Daemon d;
    ASSERT_TRUE(d.writeFile(std::string(kHistoryJst) + "/inner", "keep\n"));
    kt::startOn(d, "controller 0\ndrive c=0 id=5\n" + event(0, 10, 267, 5, 800000000), kIni,
                fixedClock("JST-9"));
    waitReads(d, 2);
    kt::stopClean(d);

    const std::string text =
        std::string("<5009:Error> ") + kHistoryJst + " File open failed.(iLogOut) Error Code (21)";
    std::vector<std::string> errors;
    for (const auto &t : kt::texts(d.logLines()))
        if (t.rfind("<5", 0) == 0)
            errors.push_back(t);
    EXPECT_THAT(errors, ElementsAre(text));
    EXPECT_EQ(kt::findSyslog(d.syslog(), "<5009:"), nullptr);
    EXPECT_EQ(kt::readText(d.modulePath(std::string(kHistoryJst) + "/inner")), "keep\n");
    auto reads = d.calls("pdinfo");
    EXPECT_EQ(
        std::count_if(reads.begin(), reads.end(), [](const auto &c) { return c.num("dev") == 5; }),
        1)
        << "the event is counted all the same";
}

// Outside changes that leave the directory's modification time as it was: the
// next event must prune exactly as a full pass would.
class OutsideChange : public ::testing::Test {
  protected:
    const std::string o0 = "AERROR_Cnt0_Id5_20230101_000000.dat"; // oldest
    const std::string o1 = "AERROR_Cnt0_Id5_20230102_000000.dat";
    const time_t now = std::time(nullptr);

    // Two files kept per drive; events 0xa and 0xb make the run's own file and
    // leave the drive with what a pass finds (given older files already there).
    void startKeepingTwo() {
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeIni(std::string(kIni) + "[HISTORY]\nHISTORY_COUNT=2\n"));
        ASSERT_TRUE(
            d.writeScenario("controller 0\ndrive c=0 id=5\n" + event(0, 10, 267, 5, 800000000)));
        ASSERT_TRUE(d.start(fixedClock("UTC")));
        ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(" a $"), 1));
        line(11);
    }
    // One more event for drive 5, once the file-system clock has passed the
    // directory's time (a memo of that time would then be trusted).
    void line(unsigned long seq) {
        struct stat st {};
        ASSERT_EQ(::stat(d.moduleDir().c_str(), &st), 0);
        ASSERT_TRUE(kt::Daemon::waitFor([&] {
            struct timespec t {};
            ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
            return t.tv_sec > st.st_mtim.tv_sec ||
                   (t.tv_sec == st.st_mtim.tv_sec && t.tv_nsec > st.st_mtim.tv_nsec);
        }));
        addEvent(d, event(0, seq, 268, 5, 800000000));
        char hex[24];
        std::snprintf(hex, sizeof hex, " %lx $", seq);
        ASSERT_TRUE(d.waitForLines(d.modulePath(kHistoryUtc), std::regex(hex), 1));
    }
    void old(const std::string &name, time_t age) {
        ASSERT_TRUE(d.writeFile(name, "2023/1/1 00:00:00 1 old\n"));
        setMtime(d.modulePath(name), now - age);
    }
    void expectDriveFiles(const std::vector<std::string> &names) {
        kt::stopClean(d);
        std::vector<std::string> files;
        for (const auto &n : historyFiles(d))
            files.push_back(n);
        EXPECT_EQ(files, names);
    }
    kt::Daemon d;
};

// As `rsync -a`, `tar` or `cp -a` restore it: an older file of the drive comes
// back and the directory gets its earlier time again.
TEST_F(OutsideChange, OlderFileRestoredWithTheDirectoryTimeIsPrunedAtTheNextEvent) {
    old(o1, 10000);
    startKeepingTwo();
    line(12);
    struct stat st {};
    ASSERT_EQ(::stat(d.moduleDir().c_str(), &st), 0);
    old(o0, 20000);
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, d.moduleDir().c_str(), ts, 0), 0);
    line(13);
    // The directory watch is one inotify descriptor, not handed to children.
    std::vector<std::string> watches;
    for (const auto &fd : kt::Daemon::listDir("/proc/" + std::to_string(d.pid()) + "/fd")) {
        char target[64] = "";
        std::string link = "/proc/" + std::to_string(d.pid()) + "/fd/" + fd;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::string(target) == "anon_inode:inotify")
            watches.push_back(kt::readText("/proc/" + std::to_string(d.pid()) + "/fdinfo/" + fd));
    }
    ASSERT_EQ(watches.size(), 1u);
    std::smatch flags;
    ASSERT_TRUE(std::regex_search(watches[0], flags, std::regex("flags:\\s*([0-7]+)")));
    EXPECT_NE(std::stoul(flags[1], nullptr, 8) & O_CLOEXEC, 0u) << watches[0];
    expectDriveFiles({o1, kHistoryUtc});
}

// The oldest file cannot be deleted (immutable) until someone fixes that: the
// deletion is tried again at every event and succeeds at the first after.
TEST_F(OutsideChange, DeletionThatFailedIsTriedAgainAtTheNextEvent) {
    old(o0, 20000);
    old(o1, 10000);
    struct Mutable { // never leave an undeletable file behind
        std::string path;
        ~Mutable() {
            kt::setImmutable(path, false);
        }
    } guard{d.modulePath(o0)};
    if (!kt::setImmutable(guard.path, true))
        GTEST_SKIP() << "no immutable files here (needs root and a file system that keeps the flag)";
    startKeepingTwo(); // event 0xb fails to delete the oldest
    line(12);
    ASSERT_TRUE(d.moduleHas(o0));
    ASSERT_TRUE(kt::setImmutable(guard.path, false));
    line(13);
    expectDriveFiles({o1, kHistoryUtc});
}

} // namespace
