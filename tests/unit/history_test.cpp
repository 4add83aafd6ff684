// Event history files: the line format in two time zones, the description cut,
// and pruning by the running-oldest rule without ever touching other files.
#include "config/settings.h"
#include "log/dir_watch.h"
#include "log/history.h"
#include "process/process.h"

#include "fs_flags.h"
#include "shim.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::set<std::string> Names(const std::string &dir) {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

class HistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
        snprintf(gcDateTime, sizeof gcDateTime, "20240301_101500");
        g_iHistoryCnt = 7;
        g_iPreServLogSwitch = 1;
        kestrun_shim_reset();
    }
    void TearDown() override {
        env.unset("TZ");
        tzset();
    }

    void Touch(const std::string &name, time_t mtime) {
        ASSERT_TRUE(dir.write(name, "x\n"));
        struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0));
    }

    // As the scan does: one memo per drive, kept between its events.
    int LogEvent(int controller, int device, uint32_t seq, uint32_t stamp, const char *text) {
        HistoryMemo &memo = memos[{controller, device}];
        return iLogOut(controller, device, seq, stamp, text, 128, &memo);
    }

    void Zone(const char *tz) {
        env.set("TZ", tz);
        tzset();
    }

    kt::TempDir dir;
    kt::ScopedEnv env;
    std::map<std::pair<int, int>, HistoryMemo> memos;
};

TEST_F(HistoryTest, LineFormatInTwoTimeZones) {
    Zone("UTC0");
    ASSERT_EQ(1, LogEvent(0, 5, 255, 0, "Command timeout on PD 05\r\n"));
    Zone("JST-9");
    ASSERT_EQ(1, LogEvent(0, 5, 0x1A2B, 0, "middle\nrest"));
    ASSERT_EQ(1, LogEvent(0, 5, 7, 86400 * 31 + 3661, "no terminator"));
    EXPECT_EQ("1999/12/31 15:00:00 ff Command timeout on PD 05\n"
              "2000/1/1 00:00:00 1a2b middle\n"
              "2000/2/1 01:01:01 7 no terminator\n",
              ReadAll(dir.file("AERROR_Cnt0_Id5_20240301_101500.dat")));
    // Other drives and controllers get files of their own.
    ASSERT_EQ(1, LogEvent(1, 5, 1, 0, "x"));
    ASSERT_EQ(1, LogEvent(0, 50, 1, 0, "x"));
    EXPECT_TRUE(fs::exists(dir.file("AERROR_Cnt1_Id5_20240301_101500.dat")));
    EXPECT_TRUE(fs::exists(dir.file("AERROR_Cnt0_Id50_20240301_101500.dat")));
}

TEST_F(HistoryTest, DescriptionFillingItsWholeFieldIsNotReadBeyondIt) {
    Zone("UTC0");
    std::string full(128, 'D');
    std::vector<char> field(full.begin(), full.end()); // no terminator inside the field
    ASSERT_EQ(1, iLogOut(0, 1, 0, 0, field.data(), field.size(), nullptr));
    EXPECT_EQ("1999/12/31 15:00:00 0 " + full + "\n",
              ReadAll(dir.file("AERROR_Cnt0_Id1_20240301_101500.dat")));
    // A description longer than the line buffer still makes one whole line.
    const std::string longer(2000, 'L');
    ASSERT_EQ(1, iLogOut(0, 2, 0, 0, longer.c_str(), longer.size() + 1, nullptr));
    EXPECT_EQ("1999/12/31 15:00:00 0 " + longer + "\n",
              ReadAll(dir.file("AERROR_Cnt0_Id2_20240301_101500.dat")));
}

// The change generation of the module directory: moves on a change of names,
// is lost (-1) when the path stops naming the watched directory in place, and
// is never trusted on a file system that is not known to report changes.
TEST_F(HistoryTest, DirectoryWatchFollowsThePathAndReportsWhatItCannotSee) {
    const std::string d = dir.file("m");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    long long g = llDirChangeGeneration(d.c_str());
    ASSERT_GE(g, 0);
    EXPECT_EQ(llDirChangeGeneration(d.c_str()), g);
    ASSERT_TRUE(dir.write("m/a", "x"));
    EXPECT_GT(llDirChangeGeneration(d.c_str()), g);
    // Moved away and back: the path names the same directory, but the watch
    // saw it go.
    fs::rename(d, d + ".away");
    fs::rename(d + ".away", d);
    EXPECT_EQ(llDirChangeGeneration(d.c_str()), -1);
    EXPECT_GE(llDirChangeGeneration(d.c_str()), 0);
    // Replaced by another directory: that one is watched now.
    fs::rename(d, d + ".old");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    g = llDirChangeGeneration(d.c_str());
    ASSERT_GE(g, 0);
    ASSERT_TRUE(dir.write("m/b", "x"));
    EXPECT_GT(llDirChangeGeneration(d.c_str()), g);
    EXPECT_EQ(llDirChangeGeneration("/proc"), -1);
    EXPECT_EQ(llDirChangeGeneration(dir.file("none").c_str()), -1);
    vDirWatchRelease();
}

TEST_F(HistoryTest, FirstEventKeepsSevenOldFilesSecondDeletesTheOldest) {
    const time_t base = 1700000000;
    // Seven files of earlier runs, in directory order unrelated to their age.
    const char *runs[] = {"20240105_000000", "20240101_000000", "20240103_000000",
                          "20240107_000000", "20240102_000000", "20240106_000000",
                          "20240104_000000"};
    for (const char *run : runs) {
        int day = run[7] - '0';
        Touch(std::string("AERROR_Cnt0_Id5_") + run + ".dat", base + day * 86400);
    }
    // Files that must never be touched: hidden, a directory, another drive whose
    // prefix extends this one, other names, and names full of shell characters.
    Touch(".AERROR_Cnt0_Id5_hidden.dat", 1);
    fs::create_directory(dir.file("AERROR_Cnt0_Id5_dir"));
    Touch("AERROR_Cnt0_Id50_20200101_000000.dat", 1);
    Touch("AERROR_Cnt1_Id5_20200101_000000.dat", 1);
    Touch("PdState_Flag.dat", 1);
    Touch("x; touch pwned; AERROR_Cnt0_Id5_", 1);
    auto others = Names(dir.path());

    Zone("UTC0");
    ASSERT_EQ(1, LogEvent(0, 5, 1, 0, "first"));
    auto afterFirst = Names(dir.path());
    EXPECT_EQ(others.size() + 1, afterFirst.size()); // nothing deleted, one created
    EXPECT_TRUE(afterFirst.count("AERROR_Cnt0_Id5_20240301_101500.dat"));

    ASSERT_EQ(1, LogEvent(0, 5, 2, 0, "second"));
    auto afterSecond = Names(dir.path());
    EXPECT_FALSE(afterSecond.count("AERROR_Cnt0_Id5_20240101_000000.dat"));
    EXPECT_EQ(afterFirst.size() - 1, afterSecond.size());
    EXPECT_EQ("1999/12/31 15:00:00 1 first\n1999/12/31 15:00:00 2 second\n",
              ReadAll(dir.file("AERROR_Cnt0_Id5_20240301_101500.dat")));
    for (const auto &name : others) {
        if (name != "AERROR_Cnt0_Id5_20240101_000000.dat") {
            EXPECT_TRUE(afterSecond.count(name)) << name;
        }
    }
    EXPECT_FALSE(fs::exists(dir.file("pwned")));
}

TEST_F(HistoryTest, MatchingFileWithShellCharactersIsDeletedAsExactlyThatFile) {
    g_iHistoryCnt = 1;
    Touch("AERROR_Cnt0_Id5_$(touch pwned) `id` ;x.dat", 100);
    Touch("AERROR_Cnt0_Id5_newer.dat", 200);
    ASSERT_EQ(1, LogEvent(0, 5, 1, 0, "x"));
    auto names = Names(dir.path());
    EXPECT_EQ(
        (std::set<std::string>{"AERROR_Cnt0_Id5_20240301_101500.dat", "AERROR_Cnt0_Id5_newer.dat"}),
        names);
    EXPECT_FALSE(fs::exists(dir.file("pwned")));
}

TEST_F(HistoryTest, LoweredCountDeletesOneFilePerExtraAndBelowOneKeepsOne) {
    g_iHistoryCnt = 2;
    for (int i = 0; i < 5; i++)
        Touch("AERROR_Cnt0_Id5_" + std::to_string(i) + ".dat", 1000 + i);
    ASSERT_EQ(1, LogEvent(0, 5, 1, 0, "x"));
    EXPECT_EQ(3u, Names(dir.path()).size()); // the two newest and this run's file

    g_iHistoryCnt = -3;
    ASSERT_EQ(1, LogEvent(0, 5, 2, 0, "x"));
    EXPECT_EQ(std::set<std::string>{"AERROR_Cnt0_Id5_20240301_101500.dat"}, Names(dir.path()));
    ASSERT_EQ(1, LogEvent(0, 5, 3, 0, "x"));
    EXPECT_EQ(1u, Names(dir.path()).size());
}

TEST_F(HistoryTest, UnopenableDirectoryAndFileAreReported) {
    snprintf(gcModulePath, sizeof gcModulePath, "/nonexistent-kestrun");
    EXPECT_EQ(0, LogEvent(0, 5, 1, 0, "lost"));
    snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
    // A directory in the way of the history file: 5009 with the bare name.
    fs::create_directory(dir.file("AERROR_Cnt0_Id5_20240301_101500.dat"));
    EXPECT_EQ(0, LogEvent(0, 5, 1, 0, "lost"));
    std::string log = ReadAll(dir.file("PredictiveFailure.log"));
    EXPECT_NE(std::string::npos,
              log.find(" <5009:Error> AERROR_Cnt0_Id5_20240301_101500.dat File open "
                       "failed.(iLogOut) Error Code (21)\n"))
        << log;
}

// Between events the directory pass may be skipped while nothing changed; a
// file added by someone else must still be pruned at the next event.
TEST_F(HistoryTest, FilesAddedBetweenEventsAreStillPruned) {
    Zone("UTC0");
    g_iHistoryCnt = 2;
    ASSERT_EQ(1, LogEvent(2, 7, 1, 0, "a"));
    struct timespec pause = {0, 30 * 1000 * 1000}; // let the coarse clock move on
    nanosleep(&pause, nullptr);
    ASSERT_EQ(1, LogEvent(2, 7, 2, 0, "b"));
    nanosleep(&pause, nullptr);
    Touch("AERROR_Cnt2_Id7_19990101_000000.dat", 100);
    Touch("AERROR_Cnt2_Id7_19990102_000000.dat", 200);
    ASSERT_EQ(1, LogEvent(2, 7, 3, 0, "c"));
    auto names = Names(dir.path());
    EXPECT_FALSE(names.count("AERROR_Cnt2_Id7_19990101_000000.dat"));
    EXPECT_TRUE(names.count("AERROR_Cnt2_Id7_19990102_000000.dat"));
    EXPECT_TRUE(names.count("AERROR_Cnt2_Id7_20240301_101500.dat"));
    EXPECT_EQ(2u, names.size());
}

} // namespace

namespace {

// Whatever happens to the directory between lines, the directory must end up
// as a full pass before every line leaves it: `dir` gets the scan's lines,
// `ref` the same lines written without a memo (a full pass each), and every
// outside change is made to both.
TEST_F(HistoryTest, SkippedPassesLeaveWhatAFullPassBeforeEveryLineWouldLeave) {
    kt::TempDir ref, targets;
    const std::string p = "AERROR_Cnt0_Id5_";
    g_iHistoryCnt = 3;
    bool immutable = true; // false where the file system or our rights lack it
    struct Guard {         // a failed assertion must not leave a file undeletable
        std::vector<std::string> paths;
        ~Guard() {
            for (const auto &f : paths)
                kt::setImmutable(f, false);
        }
    } guard{{dir.file(p + "00"), ref.file(p + "00")}};

    auto stamp = [](const std::string &path, time_t t) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), ts, 0)) << path;
    };
    auto touch = [&](const std::string &d, const std::string &name, time_t t) {
        std::ofstream(d + "/" + name) << "x\n";
        stamp(d + "/" + name, t);
    };
    // Every change is made in both directories; `t` is the side's own place
    // outside them (for link targets).
    using Change = std::function<void(const std::string &d, const std::string &t)>;
    const std::vector<std::pair<const char *, Change>> changes = {
        {"first lines", [](auto &, auto &) {}},
        {"earlier runs' files",
         [&](auto &d, auto &) {
             touch(d, p + "a", 1000);
             touch(d, p + "b", 2000);
             touch(d, p + "c", 3000);
         }},
        {"older file restored with the directory's time kept",
         [&](auto &d, auto &) {
             struct stat st {};
             ASSERT_EQ(0, stat(d.c_str(), &st));
             touch(d, p + "0", 500);
             struct timespec ts[2] = {st.st_atim, st.st_mtim};
             ASSERT_EQ(0, utimensat(AT_FDCWD, d.c_str(), ts, 0));
         }},
        {"oldest file cannot be deleted",
         [&](auto &d, auto &) {
             touch(d, p + "00", 400);
             immutable = immutable && kt::setImmutable(d + "/" + p + "00", true);
         }},
        {"and can again",
         [&](auto &d, auto &) {
             if (immutable) {
                 ASSERT_TRUE(kt::setImmutable(d + "/" + p + "00", false));
             }
         }},
        {"dangling link",
         [&](auto &d, auto &t) {
             ASSERT_EQ(0, symlink((t + "/x").c_str(), (d + "/" + p + "link").c_str()));
         }},
        {"its target appears outside", [&](auto &, auto &t) { touch(t, "x", 300); }},
        {"renamed out and in",
         [&](auto &d, auto &) {
             touch(d, "notes", 200);
             ASSERT_EQ(0, rename((d + "/" + p + "c").c_str(), (d + "/other").c_str()));
             ASSERT_EQ(0, rename((d + "/notes").c_str(), (d + "/" + p + "z").c_str()));
         }},
        {"directory and time change only",
         [&](auto &d, auto &) {
             ASSERT_EQ(0, mkdir((d + "/" + p + "dir").c_str(), 0755));
             stamp(d + "/" + p + "b", 100);
         }},
        {"next run",
         [&](auto &d, auto &) {
             stamp(d + "/" + p + "20240301_101500.dat", 5000);
             snprintf(gcDateTime, sizeof gcDateTime, "20240302_101500");
         }},
    };
    ASSERT_EQ(0, mkdir(targets.file("a").c_str(), 0755));
    ASSERT_EQ(0, mkdir(targets.file("b").c_str(), 0755));
    uint32_t seq = 0;
    for (const auto &[label, change] : changes) {
        change(dir.path(), targets.path() + "/a");
        change(ref.path(), targets.path() + "/b");
        for (int line = 0; line < 3; line++) {
            ASSERT_EQ(1, LogEvent(0, 5, ++seq, 0, "e"));
            snprintf(gcModulePath, sizeof gcModulePath, "%s", ref.path().c_str());
            ASSERT_EQ(1, iLogOut(0, 5, seq, 0, "e", 2, nullptr)); // no memo: a full pass
            snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
            ASSERT_EQ(Names(ref.path()), Names(dir.path())) << label << ", line " << line;
        }
    }
}

} // namespace
