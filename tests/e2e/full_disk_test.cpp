// A module directory that takes no more writes: a full disk (a small tmpfs
// mounted over the module directory in a mount namespace of this test
// process's own) and a log file that cannot be opened. Nothing may be lost
// without a word, nor left half written.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

// Mounts made from here on are seen by this process and its children only,
// and vanish with them.
bool ownMountNamespace() {
    static int state = -1;
    if (state < 0)
        state = unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return state == 1;
}

// A tmpfs over a directory that can be filled to the last page and emptied
// again.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string &dir) : dir_(dir), filler_(dir + "/filler") {
        mounted_ = ownMountNamespace() &&
                   mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64m,mode=0755") == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool mounted() const {
        return mounted_;
    }
    // Shrinks the file system to what it holds plus a little, so that
    // filling it is quick.
    void shrink() {
        struct statvfs v {};
        ASSERT_EQ(statvfs(dir_.c_str(), &v), 0);
        unsigned long long used = (v.f_blocks - v.f_bfree) * v.f_frsize + (64u << 10);
        std::string opt = "size=" + std::to_string(used);
        ASSERT_EQ(mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, opt.c_str()), 0)
            << std::strerror(errno);
    }
    // Takes every free page.
    void fill() {
        int fd = ::open(filler_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ASSERT_GE(fd, 0);
        static const char block[4096] = {};
        while (::write(fd, block, sizeof block) > 0) {
        }
        ::close(fd);
        struct statvfs v {};
        ASSERT_EQ(statvfs(dir_.c_str(), &v), 0);
        ASSERT_EQ(v.f_bavail, 0u);
    }
    void drain() {
        ASSERT_EQ(::unlink(filler_.c_str()), 0);
    }

  private:
    std::string dir_, filler_;
    bool mounted_ = false;
};

size_t countTrace(const kt::Daemon &d, const std::string &command) {
    return d.calls(command).size();
}

// Waits until the daemon has begun a cycle after the present one, so that
// what happens next falls into a cycle of its own.
void nextCycle(kt::Daemon &d) {
    size_t seen = countTrace(d, "pdlist");
    ASSERT_TRUE(d.waitWhileRunning([&] { return countTrace(d, "pdlist") > seen + 1; }));
}

std::vector<std::string> syslogWith(const kt::Daemon &d, const std::string &needle) {
    std::vector<std::string> out;
    for (const auto &r : d.syslog()) {
        if (r.text.find(needle) != std::string::npos) {
            EXPECT_EQ(r.priority, 3) << r.text;
            out.push_back(r.text);
        }
    }
    return out;
}

// The disk fills while the daemon runs. A removal then leaves no register
// behind, an event no empty history file, and a register that was there stays
// byte for byte (the part of the line that fit is taken back); each failure
// reaches syslog as 5009, since the log file is full too. With space back, the
// next removal is appended cleanly.
TEST(FullDisk, NothingIsHalfWrittenAndEveryLossIsReported) {
    kt::Daemon d;
    SmallDisk disk(d.moduleDir());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs CAP_SYS_ADMIN)";
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[MEDIUM]\nMC_MODE=OFF\n[THRESHOLD]\n"
                           "THRESHOLD_MODE=COUNT\n[AERROR]\nAERROR_COUNT_HDD=100\n"));
    ASSERT_TRUE(d.writeScenario("controller 0\ndrive c=0 id=5 state=spare\n"
                                "drive c=0 id=6 state=online\ndrive c=0 id=7 state=spare\n"
                                "drive c=0 id=8 state=spare\nevent c=0 seq=10 code=0\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ evtseqinfo "), 2));
    ASSERT_EQ(::unlink(d.modulePath(kt::kLogName).c_str()), 0);
    disk.shrink();
    disk.fill();
    const std::string nospace = "Error Code (28)";

    // No register yet: none is left behind.
    ASSERT_TRUE(d.addScenario("drive c=0 id=5 pfail=1\n"));
    ASSERT_TRUE(d.waitForSyslog("<4000:"));
    EXPECT_THAT(syslogWith(d, "<5009:"),
                ::testing::ElementsAre("<5009:Error> PdState_Flag.dat File open "
                                       "failed.(iHSPFileMake) " +
                                       nospace));
    EXPECT_FALSE(d.moduleHas(kt::kRegisterName));

    nextCycle(d);
    ASSERT_TRUE(d.addScenario("event c=0 seq=11 time=1700000000 code=267 dev=6\n"));
    ASSERT_TRUE(d.waitForSyslog("(iLogOut)"));
    auto history = syslogWith(d, "(iLogOut)");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_THAT(history[0], ::testing::MatchesRegex("<5009:Error> AERROR_Cnt0_Id6_[0-9]{8}_[0-9]{6}"
                                                    "\\.dat File open failed\\.\\(iLogOut\\) "
                                                    "Error Code \\(28\\)"));
    for (const auto &name : d.listModuleDir())
        EXPECT_EQ(name.rfind("AERROR_", 0), std::string::npos) << name;

    // A register two bytes short of a page: the new line fits only in part.
    nextCycle(d);
    disk.drain();
    std::string reg;
    while (reg.size() < 4088)
        reg += "1,1\n";
    reg += "1,222\n";
    ASSERT_EQ(reg.size(), 4094u);
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, reg));
    disk.fill();
    ASSERT_TRUE(d.addScenario("drive c=0 id=7 pfail=1\n"));
    ASSERT_TRUE(d.waitWhileRunning([&] { return syslogWith(d, "<5009:").size() == 3; }));
    EXPECT_EQ(d.registerText(), reg);

    disk.drain();
    ASSERT_TRUE(d.addScenario("drive c=0 id=8 pfail=1\n"));
    ASSERT_TRUE(d.waitForLog("<4000:"));
    auto r = d.stop();
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_EQ(d.registerText(), reg + "0,8\n");
    for (const auto &l : d.logLines())
        EXPECT_TRUE(l.stampOk) << l.raw;
    EXPECT_EQ(syslogWith(d, "<5009:").size(), 3u);
}

// Under a file-size limit a write beyond it fails instead of killing the
// daemon: the register stays whole, 5009 says why, and monitoring goes on.
TEST(FullDisk, SizeLimitLeavesTheRegisterWholeAndTheDaemonRunning) {
    constexpr long long kLimit = 1 << 20;
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));
    ASSERT_TRUE(
        d.writeScenario("controller 0\ndrive c=0 id=5 state=spare\ndrive c=0 id=7 state=spare\n"));
    kt::StartOptions o;
    o.fileSizeLimit = kLimit;
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist ")));
    std::string reg;
    while (reg.size() < kLimit - 8)
        reg += "1,1\n";
    reg += "1,222\n";
    ASSERT_EQ(reg.size(), static_cast<size_t>(kLimit - 2));
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, reg));
    ASSERT_TRUE(d.addScenario("drive c=0 id=5 pfail=1\n"));
    ASSERT_TRUE(d.waitForLog("<4000:"));
    EXPECT_TRUE(kt::findLog(d.logLines(), "<5009:Error> PdState_Flag.dat File open "
                                          "failed.(iHSPFileMake) Error Code (27)"));
    EXPECT_EQ(d.registerText(), reg);

    ASSERT_TRUE(d.writeFile(kt::kRegisterName, "1,1\n"));
    ASSERT_TRUE(d.addScenario("drive c=0 id=7 pfail=1\n"));
    ASSERT_TRUE(d.waitForLines(d.modulePath(kt::kLogName), std::regex("<4000:"), 2));
    auto r = d.stop();
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_EQ(d.registerText(), "1,1\n0,7\n");
}

// A full disk at start: every registered drive is still judged from the
// register (drive 1 set bad again); only the rewrite fails (5009), and the
// register stays exactly as it was.
TEST(FullDisk, StartOnAFullDiskStillReappliesTheRegister) {
    kt::Daemon d;
    SmallDisk disk(d.moduleDir());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs CAP_SYS_ADMIN)";
    ASSERT_TRUE(d.setUp("controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 state=online\n",
                        "[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));
    const std::string reg = "0,1\n0,2\n";
    ASSERT_TRUE(d.writeFile(kt::kRegisterName, reg));
    disk.shrink();
    disk.fill();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ pdlist ")));
    auto r = d.stop();
    ASSERT_TRUE(r.exitedWith(0)) << r;
    EXPECT_EQ(d.registerText(), reg);
    EXPECT_THAT(syslogWith(d, "(iHspFlgChk)"),
                ::testing::ElementsAre(
                    "<5009:Error> PdState_Flag.dat File open failed.(iHspFlgChk) Error Code (28)"));
    EXPECT_EQ(syslogWith(d, "<4600:").size(), 1u);
    EXPECT_THAT(d.listModuleDir(), ::testing::Not(::testing::Contains("PdState_Flag.new")));
}

// A log file that cannot be opened: each message goes to syslog at its own
// level instead, but a number at most once per cycle; a message that goes to
// syslog anyway is not sent twice.
TEST(FullDisk, MessagesTheLogFileCannotTakeGoToSyslogOncePerCycle) {
    for (bool appLog : {true, false}) {
        SCOPED_TRACE(appLog ? "APPLOG_SWITCH=ON" : "APPLOG_SWITCH=OFF");
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ASSERT_TRUE(d.writeFile(std::string(kt::kLogName) + "/keep", "x"));
        ASSERT_TRUE(d.writeIni(std::string("[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n"
                                           "[AERROR]\nAERROR_MODE=OFF\n[APPLOG]\nAPPLOG_SWITCH=") +
                               (appLog ? "ON" : "OFF") + "\n"));
        // Two spares that cannot lose their role: two 4001 in every cycle.
        ASSERT_TRUE(d.writeScenario("controller 0\ndrive c=0 id=5 state=spare pfail=1\n"
                                    "drive c=0 id=6 state=spare pfail=1\n"
                                    "fault cmd=removespare status=8\n"));
        ASSERT_TRUE(d.start());
        kt::completeCycles(d, 3);

        // Per complete cycle (between two 1010 records), the 4001 records.
        std::vector<std::vector<std::string>> cycles;
        for (const auto &rec : d.syslog()) {
            if (rec.text.rfind("<1010:", 0) == 0) {
                cycles.emplace_back();
            } else if (rec.text.rfind("<4001:", 0) == 0 && !cycles.empty()) {
                EXPECT_EQ(rec.priority, 3);
                cycles.back().push_back(rec.text);
            }
        }
        ASSERT_GE(cycles.size(), 3u);
        cycles.pop_back(); // cut short by the stop
        const std::string pd5 = "<4001:Error> Failed remove HotSpare. (PD:5)";
        const std::string pd6 = "<4001:Error> Failed remove HotSpare. (PD:6)";
        for (const auto &c : cycles) {
            if (appLog)
                EXPECT_THAT(c, ::testing::ElementsAre(pd5, pd6));
            else
                EXPECT_THAT(c, ::testing::ElementsAre(pd5));
        }
        EXPECT_THAT(kt::Daemon::listDir(d.modulePath(kt::kLogName)),
                    ::testing::ElementsAre("keep"));
    }
}

} // namespace
