// Crash consistency of the register. The daemon runs under strace, which
// kills it (SIGKILL) at the N-th call of one write-type system call that
// touches the register, its new file or their directory; N runs from 1 until
// a run ends without being killed, for every such call the run makes. After
// each kill the register must hold exactly one well-formed line for a drive
// whose state was changed, no garbage and no duplicate, and be either the old
// or the new register when the kill fell into the start-up rewrite; a
// restart must then find nothing left over that changes it (no 5009, no new
// file left, lines all well formed). The number of kill points tried is
// printed.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The calls that change a file or a directory entry. open/openat are among
// them because creating a file is one; strace cannot tell the flags apart,
// so every open of these paths is a kill point.
const char *const kSyscalls[] = {"open",     "openat",    "creat",     "write",     "pwrite64",
                                 "writev",   "fsync",     "fdatasync", "ftruncate", "rename",
                                 "renameat", "renameat2", "unlink",    "unlinkat",  "fchmod",
                                 "fchown",   "link",      "linkat",    "symlink"};

constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"
                             "[MEDIUM]\nMC_MODE=OFF\n";

std::string strace() {
    for (const char *p : {"/usr/bin/strace", "/bin/strace"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

std::string real(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? buf : path;
}

struct Role {
    const char *name;
    std::string scenario;
    const char *reg; // register before the run ("" none); linked: kept at ../shared
    bool linked;
    const char *done; // log text that ends the run, or "" for the first scan
    int dev;          // drive whose state the run changes (-1: a start-up rewrite)
};

// The state the simulator keeps for drive `dev` of controller 0.
std::string driveState(const kt::Daemon &d, int dev) {
    std::smatch m;
    std::string text = d.scenarioText();
    std::regex re("(^|\n)drive c=0 id=" + std::to_string(dev) + " [^\n]*state=([a-z]+)");
    return std::regex_search(text, m, re) ? m[2].str() : "";
}

class Crash {
  public:
    explicit Crash(const Role &role) : role_(role) {}

    // Sets up a fresh daemon directory for one run.
    void prepare() {
        d_ = std::make_unique<kt::Daemon>();
        ASSERT_TRUE(d_->installDaemon());
        ASSERT_TRUE(d_->installSimulator());
        ASSERT_TRUE(d_->writeIni(kIni));
        ASSERT_TRUE(d_->writeScenario(role_.scenario));
        const std::string shared = d_->root() + "/shared";
        regPath_ = d_->modulePath(kt::kRegisterName);
        if (role_.linked) {
            ASSERT_TRUE(kt::Daemon::writeAbs(shared + "/reg.dat", role_.reg));
            ASSERT_EQ(symlink("../shared/reg.dat", regPath_.c_str()), 0);
            regPath_ = real(shared + "/reg.dat");
        } else if (role_.reg[0] != '\0') {
            ASSERT_TRUE(d_->writeFile(kt::kRegisterName, role_.reg));
        }
        const std::string module = real(d_->moduleDir());
        paths_ = {module, module + "/" + kt::kRegisterName, module + "/PdState_Flag.new"};
        if (role_.linked)
            paths_.insert(paths_.end(), {real(shared), regPath_, regPath_ + ".new"});
    }

    // One run under strace: `inject` empty traces the calls into `traceOut`;
    // otherwise the run is killed at that call. True when it was killed.
    bool run(const std::string &inject, const std::string &traceOut) {
        std::string set;
        for (const char *s : kSyscalls)
            set += std::string(set.empty() ? "" : ",") + s;
        kt::StartOptions o;
        o.preloadShim = false;
        o.wrapper = {strace(),
                     "-f",
                     "-qq",
                     "-o",
                     traceOut.empty() ? "/dev/null" : traceOut,
                     "-E",
                     std::string("LD_PRELOAD=") + KESTRUN_SHIM_LIB,
                     "-e",
                     "trace=" + set};
        for (const auto &p : paths_)
            o.wrapper.insert(o.wrapper.end(), {"-P", p});
        if (!inject.empty())
            o.wrapper.insert(o.wrapper.end(), {"-e", "inject=" + inject + ":signal=KILL"});
        EXPECT_TRUE(d_->start(o));
        bool reached = d_->waitWhileRunning(
            [&] {
                return role_.done[0] != '\0' ? !!kt::findLog(d_->logLines(), role_.done)
                                             : !d_->calls("pdlist").empty();
            },
            20000);
        if (!d_->running()) {
            EXPECT_EQ(d_->lastExit().signal, SIGKILL) << d_->lastExit() << inject;
            return true;
        }
        EXPECT_TRUE(reached) << inject;
        stopTracee();
        return false;
    }

    // After a kill: the invariant, then a plain restart that must leave the
    // register clean.
    void check(const std::string &where) {
        SCOPED_TRACE(where);
        const std::string text = kt::readText(regPath_);
        std::vector<std::string> lines = wellFormedLines(text);
        if (role_.dev >= 0) {
            const std::string line = "0," + std::to_string(role_.dev);
            auto n = std::count(lines.begin(), lines.end(), line);
            std::string state = driveState(*d_, role_.dev);
            if (state != initialState())
                EXPECT_EQ(n, 1) << "drive changed to " << state << ", register: " << text;
            else
                EXPECT_LE(n, 1) << text;
        } else {
            EXPECT_TRUE(text == role_.reg || text == rewritten_) << text;
        }
        d_->clearCaptures();
        ASSERT_TRUE(d_->start());
        ASSERT_TRUE(d_->waitWhileRunning([&] { return !d_->calls("pdlist").empty(); }));
        ASSERT_TRUE(d_->stop().exitedWith(0));
        EXPECT_FALSE(kt::findLog(d_->logLines(), "<5009:"));
        wellFormedLines(kt::readText(regPath_));
        EXPECT_FALSE(d_->moduleHas("PdState_Flag.new"));
        struct stat st {};
        EXPECT_NE(lstat((regPath_ + ".new").c_str(), &st), 0);
        if (role_.linked) {
            EXPECT_EQ(lstat(d_->modulePath(kt::kRegisterName).c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        }
    }

    // The calls the undisturbed run makes on the watched paths, by name, and
    // the register it leaves.
    std::map<std::string, int> survey() {
        prepare();
        const std::string out = d_->workPath("strace.txt");
        EXPECT_FALSE(run("", out));
        rewritten_ = kt::readText(regPath_);
        std::map<std::string, int> counts;
        std::ifstream in(out);
        std::regex call("^(\\[pid +[0-9]+\\] |[0-9]+ +)?([a-z0-9_]+)\\(");
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (std::regex_search(line, m, call))
                counts[m[2].str()]++;
        return counts;
    }

  private:
    std::string initialState() const {
        std::smatch m;
        std::regex re("state=([a-z]+)");
        std::string first =
            role_.scenario.substr(role_.scenario.find("id=" + std::to_string(role_.dev)));
        return std::regex_search(first, m, re) ? m[1].str() : "";
    }

    // The register's lines; each must be "controller,device" and appear once.
    static std::vector<std::string> wellFormedLines(const std::string &text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
        std::set<std::string> seen;
        for (const auto &l : lines) {
            EXPECT_TRUE(std::regex_match(l, std::regex("-?[0-9]+,-?[0-9]+"))) << l;
            EXPECT_TRUE(seen.insert(l).second) << "duplicate " << l;
        }
        return lines;
    }

    // Ends the traced daemon with SIGTERM; strace passes it on and then ends.
    void stopTracee() {
        std::ifstream kids("/proc/" + std::to_string(d_->pid()) + "/task/" +
                           std::to_string(d_->pid()) + "/children");
        pid_t child = 0;
        kids >> child;
        ASSERT_GT(child, 0);
        ::kill(child, SIGTERM);
        auto r = d_->waitExit(20000);
        EXPECT_TRUE(r.exitedWith(0)) << r;
    }

    const Role &role_;
    std::unique_ptr<kt::Daemon> d_;
    std::string regPath_;
    std::vector<std::string> paths_;
    std::string rewritten_;
};

TEST(Crash, EveryKillPointLeavesTheRegisterConsistent) {
#ifdef KESTRUN_CRASH_SKIP
    GTEST_SKIP() << KESTRUN_CRASH_SKIP;
#endif
    ASSERT_FALSE(strace().empty()) << "strace (Debian package strace) is needed";
    const std::string raid1 = "drive c=0 id=4 state=online\n"
                              "ld c=0 n=0 raid=1 state=optimal members=4,5\n";
    const std::string rewrite = "drive c=0 id=1 state=ugood\ndrive c=0 id=2 state=online\n"
                                "drive c=0 id=3 state=ubad\ndrive c=0 id=40000 state=ugood\n";
    const char *lines = "0,1\n0,2\n0,3\n0,-25536\n";
    const Role roles[] = {
        {"spare", "controller 0\ndrive c=0 id=5 seq=3 state=spare pfail=1\n", "", false,
         "<4000:", 5},
        {"rebuilding drive", "controller 0\ndrive c=0 id=5 seq=3 state=rebuild pfail=1\n", "",
         false, "<4502:", 5},
        {"member set failed",
         "controller 0\n" + raid1 + "drive c=0 id=5 seq=3 state=online pfail=1\n", "", false,
         "<4502:", 5},
        {"member released as unconfigured-good",
         "controller 0\n" + raid1 + "drive c=0 id=5 seq=3 state=online release=ugood pfail=1\n", "",
         false, "<4502:", 5},
        // Registered, then taken back when the role cannot be removed.
        {"spare that keeps its role",
         "controller 0\ndrive c=0 id=5 seq=3 state=spare pfail=1\n"
         "fault cmd=removespare status=8 times=2\n",
         "", false, "<4001:", 5},
        {"start-up rewrite", "controller 0\n" + rewrite, lines, false, "", -1},
        {"start-up rewrite of a linked register", "controller 0\n" + rewrite, lines, true, "", -1},
    };
    int tried = 0;
    for (const auto &role : roles) {
        SCOPED_TRACE(role.name);
        Crash crash(role);
        auto counts = crash.survey();
        int points = 0;
        std::string calls;
        for (const auto &[call, count] : counts) {
            calls += " " + call + "=" + std::to_string(count);
            for (int n = 1;; n++) {
                crash.prepare();
                const std::string where = call + ":when=" + std::to_string(n);
                if (!crash.run(call + ":when=" + std::to_string(n), "")) {
                    EXPECT_EQ(n, count + 1) << where;
                    break;
                }
                crash.check(where);
                points++;
                ASSERT_LE(n, count) << where << ": killed beyond the survey's count";
            }
        }
        std::printf("crash: %s: %d kill points (%s )\n", role.name, points, calls.c_str());
        tried += points;
    }
    std::printf("crash: %d kill points tried\n", tried);
    EXPECT_GT(tried, 0);
}

} // namespace
