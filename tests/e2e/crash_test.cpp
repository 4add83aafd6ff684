// Crash consistency of the register. strace kills the daemon (SIGKILL) at the
// N-th call of one write-type system call on the register, its new file or
// their directory, for every such call an undisturbed run makes. After each
// kill: one well-formed line for a drive whose state was changed, no garbage
// or duplicate, the old or the new register after a kill in the start-up
// rewrite; a restart then rewrites it without 5009 and leaves no new file.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// open/openat count: strace cannot tell a create by its flags.
constexpr const char *kCalls = "open,openat,creat,write,pwrite64,writev,fsync,fdatasync,"
                               "ftruncate,rename,renameat,renameat2,unlink,unlinkat,fchmod,"
                               "fchown,link,linkat,symlink";
constexpr const char *kStrace = "/usr/bin/strace";

std::string real(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? buf : path;
}

struct Role {
    const char *name;
    std::string scenario;
    const char *reg; // register before the run; kept at ../shared/reg.dat when linked
    bool linked;
    const char *done; // log text that ends the run; "" the first scan
    const char *from; // drive 5's state before the run; "" a start-up rewrite
};

struct TracedRun {
    kt::Daemon d;
    std::string reg; // the register file itself
    std::vector<std::string> paths;
};

void prepare(TracedRun &r, const Role &role) {
    ASSERT_TRUE(r.d.installDaemon());
    ASSERT_TRUE(r.d.installSimulator());
    ASSERT_TRUE(r.d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[AERROR]\nAERROR_MODE=OFF\n"));
    ASSERT_TRUE(r.d.writeScenario(role.scenario));
    const std::string module = real(r.d.moduleDir()), shared = r.d.root() + "/shared";
    r.reg = r.d.modulePath(kt::kRegisterName);
    r.paths = {module, module + "/" + kt::kRegisterName, module + "/PdState_Flag.new"};
    if (role.linked) {
        ASSERT_TRUE(kt::Daemon::writeAbs(shared + "/reg.dat", role.reg));
        ASSERT_EQ(symlink("../shared/reg.dat", r.reg.c_str()), 0);
        r.reg = real(shared + "/reg.dat");
        r.paths.insert(r.paths.end(), {real(shared), r.reg, r.reg + ".new"});
    } else if (role.reg[0] != '\0') {
        ASSERT_TRUE(r.d.writeFile(kt::kRegisterName, role.reg));
    }
}

// One traced run, killed at `inject` unless it is empty. True when killed.
bool traced(TracedRun &r, const Role &role, const std::string &inject, const std::string &out) {
    kt::StartOptions o;
    o.preloadShim = false;
    o.wrapper = {kStrace,
                 "-f",
                 "-qq",
                 "-o",
                 out,
                 "-E",
                 std::string("LD_PRELOAD=") + KESTRUN_SHIM_LIB,
                 "-e",
                 std::string("trace=") + kCalls};
    for (const auto &p : r.paths)
        o.wrapper.insert(o.wrapper.end(), {"-P", p});
    if (!inject.empty())
        o.wrapper.insert(o.wrapper.end(), {"-e", "inject=" + inject + ":signal=KILL"});
    EXPECT_TRUE(r.d.start(o));
    bool done = r.d.waitWhileRunning(
        [&] {
            return role.done[0] != '\0' ? !!kt::findLog(r.d.logLines(), role.done)
                                        : !r.d.calls("pdlist").empty();
        },
        20000);
    if (!r.d.running()) {
        EXPECT_EQ(r.d.lastExit().signal, SIGKILL) << r.d.lastExit();
        return true;
    }
    EXPECT_TRUE(done);
    // SIGTERM to the daemon, strace's child; strace passes it on and ends.
    pid_t child = 0;
    std::ifstream("/proc/" + std::to_string(r.d.pid()) + "/task/" + std::to_string(r.d.pid()) +
                  "/children") >>
        child;
    EXPECT_GT(child, 0);
    ::kill(child, SIGTERM);
    EXPECT_TRUE(r.d.waitExit(20000).exitedWith(0));
    return false;
}

// Every line "controller,device", once; the lines.
std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l); out.push_back(l)) {
        EXPECT_TRUE(std::regex_match(l, std::regex("-?[0-9]+,-?[0-9]+"))) << l;
        EXPECT_TRUE(seen.insert(l).second) << "duplicate " << l;
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    return out;
}

void check(TracedRun &r, const Role &role, const std::string &rewritten) {
    const std::string text = kt::readText(r.reg);
    auto now = lines(text);
    if (role.from[0] != '\0') {
        std::smatch m;
        std::string sim = r.d.scenarioText();
        ASSERT_TRUE(std::regex_search(sim, m, std::regex("drive c=0 id=5 [^\n]*state=([a-z]+)")));
        auto n = std::count(now.begin(), now.end(), "0,5");
        EXPECT_EQ(n, m[1] == role.from ? n : 1) << "drive now " << m[1] << ": " << text;
        EXPECT_LE(n, 1);
    } else {
        EXPECT_TRUE(text == role.reg || text == rewritten) << text;
    }
    r.d.clearCaptures();
    ASSERT_TRUE(r.d.start());
    ASSERT_TRUE(r.d.waitWhileRunning([&] { return !r.d.calls("pdlist").empty(); }));
    ASSERT_TRUE(r.d.stop().exitedWith(0));
    EXPECT_FALSE(kt::findLog(r.d.logLines(), "<5009:"));
    lines(kt::readText(r.reg));
    struct stat st {};
    for (const auto &p : {r.paths[2], r.reg + ".new"})
        EXPECT_NE(lstat(p.c_str(), &st), 0) << p;
    EXPECT_TRUE(!role.linked || (lstat(r.paths[1].c_str(), &st) == 0 && S_ISLNK(st.st_mode)));
}

TEST(Crash, EveryKillPointLeavesTheRegisterConsistent) {
#ifdef KESTRUN_CRASH_SKIP
    GTEST_SKIP() << KESTRUN_CRASH_SKIP;
#endif
    ASSERT_EQ(access(kStrace, X_OK), 0) << "strace (Debian package strace) is needed";
    const std::string spare = "controller 0\ndrive c=0 id=5 seq=3 state=spare pfail=1\n";
    const std::string member = "controller 0\ndrive c=0 id=4 state=online\n"
                               "ld c=0 n=0 raid=1 state=optimal members=4,5\n"
                               "drive c=0 id=5 seq=3 state=online pfail=1";
    const std::string rewrite = "controller 0\ndrive c=0 id=1 state=ugood\ndrive c=0 id=2 "
                                "state=online\ndrive c=0 id=3 state=ubad\ndrive c=0 id=40000 "
                                "state=ugood\n";
    const char *reg = "0,1\n0,2\n0,3\n0,-25536\n";
    const Role roles[] = {
        {"spare", spare, "", false, "<4000:", "spare"},
        {"rebuilding drive", "controller 0\ndrive c=0 id=5 seq=3 state=rebuild pfail=1\n", "",
         false, "<4502:", "rebuild"},
        {"member set failed", member + "\n", "", false, "<4502:", "online"},
        {"member released as unconfigured-good", member + " release=ugood\n", "", false,
         "<4502:", "online"},
        // Registered, then taken back: the role cannot be removed.
        {"spare that keeps its role", spare + "fault cmd=removespare status=8 times=2\n", "", false,
         "<4001:", "spare"},
        {"start-up rewrite", rewrite, reg, false, "", ""},
        {"start-up rewrite of a linked register", rewrite, reg, true, "", ""},
    };
    int tried = 0;
    for (const auto &role : roles) {
        SCOPED_TRACE(role.name);
        TracedRun survey;
        prepare(survey, role);
        const std::string out = survey.d.workPath("strace.txt");
        ASSERT_FALSE(traced(survey, role, "", out));
        const std::string rewritten = kt::readText(survey.reg);
        std::map<std::string, int> counts;
        std::ifstream in(out);
        std::smatch m;
        for (std::string l; std::getline(in, l);)
            if (std::regex_search(l, m,
                                  std::regex("^(\\[pid +[0-9]+\\] |[0-9]+ +)?([a-z0-9_]+)\\(")))
                counts[m[2].str()]++;
        std::string seen;
        for (const auto &[call, count] : counts) {
            seen += " " + call + "=" + std::to_string(count);
            for (int n = 1; n <= count; n++, tried++) {
                const std::string where = call + ":when=" + std::to_string(n);
                SCOPED_TRACE(where);
                TracedRun r;
                prepare(r, role);
                ASSERT_TRUE(traced(r, role, where, "/dev/null"));
                check(r, role, rewritten);
            }
        }
        std::printf("crash: %s:%s\n", role.name, seen.c_str());
    }
    std::printf("crash: %d kill points tried\n", tried);
}

} // namespace
