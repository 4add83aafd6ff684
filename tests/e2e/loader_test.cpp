// Loading the controller library: the dependency check and its Work.txt, the
// library path, and who unloads the library at each way a run can end.
//
// A few helpers are built with the system C compiler when first needed:
//  - dlspy.so, preloaded after the shim: logs the daemon's dlopen/dlclose
//    calls to $KT_DL_LOG and, with KT_DLCLOSE_FAIL=<n>, makes dlclose fail
//    with errno n, which is the only way the unloading label shows;
//  - libraries without the entry point or with a dependency that is gone;
//  - bin/ldd, put first in PATH: records its arguments to $KT_LDD_ARGS and
//    either prints $KT_LDD_OUT and exits with $KT_LDD_RC, or runs the real ldd.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char *k1000 =
    "<1000:Information> Predictive Failure has started successfully (Ver 5.0.0.4).";
constexpr const char *kScenario = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n";
constexpr const char *kSystemPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

constexpr const char *kSpySource = R"C(#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
static void note(const char *what, const char *arg)
{
    const char *path = getenv("KT_DL_LOG");
    if (path == NULL || *path == '\0')
        return;
    int saved = errno;
    char line[4400];
    int n = snprintf(line, sizeof line, "%s pid=%d %s\n", what, (int)getpid(), arg);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 && n > 0 && n < (int)sizeof line) {
        ssize_t r = write(fd, line, (size_t)n);
        (void)r;
    }
    if (fd >= 0)
        close(fd);
    errno = saved;
}
void *dlopen(const char *file, int mode)
{
    void *(*real)(const char *, int) = (void *(*)(const char *, int))dlsym(RTLD_NEXT, "dlopen");
    note("dlopen", file != NULL ? file : "(null)");
    return real(file, mode);
}
int dlclose(void *handle)
{
    int (*real)(void *) = (int (*)(void *))dlsym(RTLD_NEXT, "dlclose");
    const char *fail = getenv("KT_DLCLOSE_FAIL");
    note("dlclose", "");
    if (fail != NULL && *fail != '\0') {
        errno = atoi(fail);
        return -1;
    }
    return real(handle);
}
)C";

// Runs a program (no shell) and tells whether it exited with status 0.
bool run(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Helpers {
    std::string dir, error;
    std::string spy, noEntry, absGone, nameGone, binDir;
    Helpers() = default;
    Helpers(const Helpers &) = delete;
    ~Helpers() {
        std::error_code ec;
        if (!dir.empty())
            fs::remove_all(dir, ec);
    }
};

void build(Helpers &x) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kestrun-loader-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        x.error = "mkdtemp failed";
        return;
    }
    x.dir = tmpl;
    if (!run({"cc", "--version"})) {
        x.error = "no C compiler";
        return;
    }
    const std::string d = x.dir;
    x.spy = d + "/dlspy.so";
    x.noEntry = d + "/noentry.so";
    x.absGone = d + "/libabsgone.so";
    x.nameGone = d + "/libnamegone.so";
    x.binDir = d + "/bin";
    const std::string gone = d + "/gone/libktgone.so";
    bool ok =
        kt::Daemon::writeAbs(d + "/dlspy.c", kSpySource) &&
        kt::Daemon::writeAbs(d + "/noentry.c", "int NotTheEntry(void *b) { return b != 0; }\n") &&
        kt::Daemon::writeAbs(d + "/gone.c", "int kt_gone(void) { return 1; }\n") &&
        kt::Daemon::writeAbs(
            d + "/user.c",
            "int kt_gone(void);\nint ProcessLibCommand(void *b) { return b ? kt_gone() : 0; }\n") &&
        kt::Daemon::writeAbs(
            x.binDir + "/ldd",
            "#!/bin/sh\n"
            "if [ -n \"$KT_LDD_ARGS\" ]; then printf '%s\\n' \"$@\" > \"$KT_LDD_ARGS\"; fi\n"
            "if [ -n \"$KT_LDD_OUT\" ]; then cat \"$KT_LDD_OUT\"; exit \"${KT_LDD_RC:-0}\"; fi\n"
            "PATH=" +
                std::string(kSystemPath) + " exec ldd \"$@\"\n",
            0755) &&
        kt::Daemon::writeAbs(gone, "") &&
        run({"cc", "-shared", "-fPIC", "-o", x.spy, d + "/dlspy.c", "-ldl"}) &&
        run({"cc", "-shared", "-fPIC", "-o", x.noEntry, d + "/noentry.c"}) &&
        run({"cc", "-shared", "-fPIC", "-o", gone, d + "/gone.c"}) &&
        // No SONAME on the dependency: the path as given becomes DT_NEEDED.
        run({"cc", "-shared", "-fPIC", "-o", x.absGone, d + "/user.c", gone}) &&
        run({"cc", "-shared", "-fPIC", "-o", x.nameGone, d + "/user.c", "-L" + d + "/gone",
             "-lktgone"});
    if (!ok)
        x.error = "building the helpers failed";
    std::error_code ec;
    fs::remove(gone, ec);
}

const Helpers &helpers() {
    static Helpers h;
    static const bool built = (build(h), true);
    (void)built;
    return h;
}

#define REQUIRE_HELPERS()                                                                          \
    do {                                                                                           \
        if (!helpers().error.empty())                                                              \
            GTEST_SKIP() << helpers().error;                                                       \
    } while (0)

// Start options with the dlopen/dlclose spy preloaded and the fake ldd first
// in PATH; failDlclose > 0 makes every dlclose fail with that errno.
kt::StartOptions spyOptions(const kt::Daemon &d, int failDlclose = 0) {
    kt::StartOptions o;
    o.env = {{"LD_PRELOAD", std::string(KESTRUN_SHIM_LIB) + ":" + helpers().spy},
             {"KT_DL_LOG", d.workPath("dl.txt")},
             {"KT_LDD_ARGS", d.workPath("lddargs.txt")},
             {"PATH", helpers().binDir + ":" + kSystemPath}};
    if (failDlclose > 0)
        o.env.emplace_back("KT_DLCLOSE_FAIL", std::to_string(failDlclose));
    return o;
}

// The arguments of the daemon's own dlopen ("dlopen") or dlclose ("dlclose") calls.
std::vector<std::string> dlCalls(const kt::Daemon &d, const std::string &what) {
    std::vector<std::string> out;
    const std::string prefix = what + " pid=" + std::to_string(d.lastPid()) + " ";
    for (const auto &l : kt::readLines(d.workPath("dl.txt")))
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l.substr(prefix.size()));
    return out;
}

std::vector<std::string> logTexts(const kt::Daemon &d) {
    return kt::texts(d.logLines());
}

std::string msg5006(int code) {
    return "<5006:Error> Unable to load storelib.dll. (iLib_Link) Error Code(" +
           std::to_string(code) + ")";
}

TEST(Loader, MissingLibraryEndsTheRunRightAfterTheStartMessage) {
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.writeScenario(kScenario));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
    ASSERT_TRUE(d.writeFile(kt::kWorkTxtName, "stale line\n\t/nonexistent/libold.so (0x0)\n"));
    ASSERT_TRUE(d.start());
    auto r = d.waitExit();
    EXPECT_TRUE(r.exitedWith(6)) << r; // installation problem

    // ldd's exit code 1 is reported in wait-status form.
    EXPECT_THAT(logTexts(d), ElementsAre(k1000, msg5006(256)));
    EXPECT_THAT(kt::texts(d.syslog()), ElementsAre(k1000, msg5006(256)));
    EXPECT_EQ(d.syslog().back().priority, 3);
    const std::string work = kt::readText(d.modulePath(kt::kWorkTxtName));
    EXPECT_THAT(work, Not(HasSubstr("stale")));
    EXPECT_THAT(work, HasSubstr(d.modulePath(kt::kLibName)));
    EXPECT_THAT(work, HasSubstr("No such file"));
    EXPECT_TRUE(d.traceLines().empty());
    EXPECT_TRUE(d.sleepLog().empty());
}

// What ldd reports decides whether the library is opened at all.
TEST(Loader, DependencyCheckCountsOnlyPathsThatAreMissing) {
    REQUIRE_HELPERS();
    struct Case {
        const char *name;
        std::string library; // installed as the library; empty: the simulator
        std::string lddOut;  // scripted ldd output; empty: the real ldd
        int lddRc;
        int code;    // expected 5006 code; -1: any; 0: loads
        bool opened; // dlopen reached
        const char *workHas;
    } cases[] = {
        {"absolute DT_NEEDED gone: counted, never opened", helpers().absGone, "", 0, 2, false,
         "/libktgone.so => not found"},
        {"bare DT_NEEDED gone: not counted, dlopen fails", helpers().nameGone, "", 0, -1, true,
         "libktgone.so => not found"},
        {"paths end at blank, TAB or CR; lines without / skipped", "",
         "\tlinux-vdso.so.1 (0x00007ffc)\n\tlibc.so.6 => /etc/passwd "
         "(0x00007f00)\n\t/bin/sh\t(0x1)\n"
         "/etc/hosts\r\n\tlibmissing.so => not found\nno path here\n/bin\n",
         0, 0, true, "/etc/hosts"},
        {"one missing path among present ones", "",
         "\tlibc.so.6 => /etc/passwd (0x1)\n\tlibx.so => /nonexistent/libx.so (0x2)\n\t/bin/sh "
         "(0x3)\n",
         0, 2, false, "/nonexistent/libx.so"},
        {"ldd exit code 3", "", "\t/bin/sh (0x1)\n", 3, 768, false, "/bin/sh"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::Daemon d;
        ASSERT_TRUE(d.installDaemon());
        if (c.library.empty()) {
            ASSERT_TRUE(d.installSimulator());
        } else {
            ASSERT_TRUE(kt::Daemon::copyFile(c.library, d.modulePath(kt::kLibName), 0755));
        }
        ASSERT_TRUE(d.writeScenario(kScenario));
        ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
        kt::StartOptions o = spyOptions(d);
        if (!c.lddOut.empty()) {
            ASSERT_TRUE(kt::Daemon::writeAbs(d.workPath("lddout.txt"), c.lddOut));
            o.env.emplace_back("KT_LDD_OUT", d.workPath("lddout.txt"));
            o.env.emplace_back("KT_LDD_RC", std::to_string(c.lddRc));
        }
        ASSERT_TRUE(d.start(o));
        if (c.code == 0) {
            ASSERT_TRUE(d.waitForSleeps(1)) << ::testing::PrintToString(logTexts(d));
            EXPECT_TRUE(d.stop().exitedWith(0));
            EXPECT_FALSE(d.calls("ctrlsearch").empty());
        } else {
            auto r = d.waitExit();
            EXPECT_TRUE(r.exitedWith(6)) << r;
            auto log = logTexts(d);
            ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
            if (c.code > 0) {
                EXPECT_EQ(log[1], msg5006(c.code));
            } else {
                EXPECT_THAT(
                    log[1],
                    HasSubstr("<5006:Error> Unable to load storelib.dll. (iLib_Link) Error Code("));
            }
            EXPECT_TRUE(d.traceLines().empty());
            EXPECT_TRUE(dlCalls(d, "dlclose").empty()) << "nothing was loaded";
        }
        EXPECT_EQ(dlCalls(d, "dlopen"), c.opened
                                            ? std::vector<std::string>{d.modulePath(kt::kLibName)}
                                            : std::vector<std::string>{});
        EXPECT_THAT(kt::readText(d.modulePath(kt::kWorkTxtName)), HasSubstr(c.workHas));
    }
}

// The loader and the cycle unload with the empty label; only a run that ended
// at the controller information leaves the library to the exit clean-up. A
// dlclose that fails shows who called it.
TEST(Loader, EachEndOfTheRunUnloadsTheLibraryExactlyOnce) {
    REQUIRE_HELPERS();
    struct Case {
        const char *name;
        std::string library; // empty: the simulator
        const char *scenario;
        bool stop; // runs until stopped
        const char *label;
        const char *message; // logged before the unloading
        int status;          // exit status
    } cases[] = {
        {"no entry point", helpers().noEntry, kScenario, false, "",
         "<5006:Error> Unable to load storelib.dll. (iLib_Link) Error Code(", 6},
        {"controller search fails", "", "controller 0\nfault cmd=ctrlsearch status=9\n", false, "",
         "<5010:Error> Failed to find the controller. (iControllerSearch) Error Code (9)", 7},
        {"controller information fails", "", "controller 0\nfault cmd=ctrlinfo status=5\n", false,
         "vend_test",
         "<5012:Error> Failed to get controller name. (No.0)(iControllerChk) Error Code (5)", 7},
        {"stopped", "", kScenario, true, "", "<1001:", 0},
    };
    for (const auto &c : cases) {
        for (int fail : {0, 77}) {
            SCOPED_TRACE(std::string(c.name) + (fail ? ", dlclose fails" : ""));
            kt::Daemon d;
            ASSERT_TRUE(d.installDaemon());
            if (c.library.empty()) {
                ASSERT_TRUE(d.installSimulator());
            } else {
                ASSERT_TRUE(kt::Daemon::copyFile(c.library, d.modulePath(kt::kLibName), 0755));
            }
            ASSERT_TRUE(d.writeScenario(c.scenario));
            ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n"));
            ASSERT_TRUE(d.start(spyOptions(d, fail)));
            if (c.stop) {
                ASSERT_TRUE(d.waitForSleeps(1));
                ASSERT_TRUE(d.signal(SIGTERM));
            }
            auto r = d.waitExit();
            EXPECT_TRUE(r.exitedWith(c.status)) << r;

            EXPECT_THAT(dlCalls(d, "dlopen"), ElementsAre(d.modulePath(kt::kLibName)));
            EXPECT_EQ(dlCalls(d, "dlclose").size(), 1u);
            auto log = logTexts(d);
            ASSERT_GE(log.size(), fail ? 3u : 2u) << ::testing::PrintToString(log);
            EXPECT_EQ(log[0], k1000);
            const std::string unload = std::string("<5008:Error> Unable to free storelib.dll. (") +
                                       c.label + ") Error Code (77)";
            EXPECT_THAT(log[log.size() - (fail ? 2 : 1)], HasSubstr(c.message));
            if (fail) {
                EXPECT_EQ(log.back(), unload);
            }
            EXPECT_EQ(kt::findLog(d.logLines(), "<5008:") != nullptr, fail != 0);
            if (c.library == helpers().noEntry) {
                EXPECT_TRUE(d.traceLines().empty())
                    << "no controller command without the entry point";
            }
        }
    }
}

// A library in a subdirectory, under a module directory whose name a shell
// would act on: ldd gets exactly one argument naming it, dlopen the same path,
// Work.txt is replaced in the module directory and kept, nothing is run.
TEST(Loader, LibraryPathReachesLddAndDlopenAsItStands) {
    REQUIRE_HELPERS();
    const std::string lib = "sub dir/lib $(touch pwned).so";
    kt::Daemon d("mod dir;$(touch pwned)&x `touch pwned`");
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator(lib));
    ASSERT_TRUE(d.writeScenario(kScenario));
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=1000\n[LIB]\nLIBPATH=" + lib + "\n"));
    ASSERT_TRUE(d.writeFile(kt::kWorkTxtName, "stale line\n/nonexistent/libold.so\n"));
    ASSERT_TRUE(d.start(spyOptions(d)));
    ASSERT_TRUE(d.waitForSleeps(1)) << ::testing::PrintToString(logTexts(d));
    auto r = d.stop();
    EXPECT_TRUE(r.exitedWith(0)) << r;

    const std::string path = d.modulePath(lib);
    EXPECT_THAT(kt::readLines(d.workPath("lddargs.txt")), ElementsAre("--", path));
    EXPECT_THAT(dlCalls(d, "dlopen"), ElementsAre(path));
    EXPECT_FALSE(d.calls("ctrlsearch").empty());
    EXPECT_EQ(kt::findLog(d.logLines(), "<5006:"), nullptr);
    const std::string work = kt::readText(d.modulePath(kt::kWorkTxtName));
    EXPECT_THAT(work, Not(HasSubstr("stale")));
    EXPECT_THAT(work, HasSubstr("libc.so"));
    EXPECT_FALSE(d.moduleHas("sub dir/Work.txt"));
    for (const auto &f : kt::Daemon::listTree(d.root()))
        EXPECT_NE(fs::path(f).filename(), "pwned") << "a shell ran part of the path: " << f;
}

} // namespace
