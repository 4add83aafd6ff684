// Benchmarks of the real daemon against the controller simulator: peak
// resident memory, an event storm through the history files, and the CPU cost
// of the drive health scan. Prints figures; see README.md for what they mean.
//
//   kestrun_bench [memory|storm|scan|all]
//   kestrun_bench storm <unrelated files>     one storm only
//
// Each run copies the daemon and the simulator into a fresh module directory
// under $TMPDIR (or /tmp), keeps the scenario outside it, and preloads the test
// shim, which sends syslog to a file and logs every sleep() call; a cycle's
// pause costs KESTRUN_TEST_SLEEP_MS real milliseconds per second asked for.
// KESTRUN_BENCH_KEEP=1 keeps the directories; KESTRUN_BENCH_SCAN_MS sets how
// long the health scan is measured (default 2000).
#include "process/files.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Env = std::vector<std::pair<std::string, std::string>>;

constexpr const char *kModel = "MegaRAID SAS MODEL-4000";
constexpr long long kFixedTime = 1700000000; // 2023-11-14 22:13:20 UTC

bool writeFile(const std::string &path, const std::string &text) {
    FilePtr f(fopen(path.c_str(), "wb"));
    return f && fwrite(text.data(), 1, text.size(), f.get()) == text.size();
}

std::string readFile(const std::string &path) {
    std::string out;
    FilePtr f(fopen(path.c_str(), "rb"));
    char buf[65536];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f.get())) > 0;)
        out.append(buf, n);
    return out;
}

long long fileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos;
         p = text.find(needle, p + needle.size()))
        n++;
    return n;
}

// Polls cond every pollUs microseconds; false after timeoutMs.
bool waitFor(const std::function<bool()> &cond, int timeoutMs, int pollUs = 200) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(pollUs));
    }
    return true;
}

// Process CPU time from /proc/<pid>/stat (utime, stime), in milliseconds.
struct Cpu {
    double user = 0, sys = 0;
    double total() const {
        return user + sys;
    }
};

bool readCpu(pid_t pid, Cpu &c) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    if (close == std::string::npos)
        return false;
    // Fields after the command name: state is field 3, utime 14, stime 15.
    unsigned long long ut = 0, st = 0;
    if (sscanf(s.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut,
               &st) != 2)
        return false;
    double tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    c.user = static_cast<double>(ut) * tick;
    c.sys = static_cast<double>(st) * tick;
    return true;
}

long hwmKiB(pid_t pid) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t p = s.find("VmHWM:");
    return p == std::string::npos ? -1 : strtol(s.c_str() + p + 6, nullptr, 10);
}

// Resident and total KiB of the daemon's zero-initialised static storage (the
// anonymous mapping right after the executable's own), where the detection
// tables live.
bool bssKiB(pid_t pid, long &rss, long &size) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/smaps");
    bool afterExe = false, inBss = false;
    rss = size = -1;
    for (size_t pos = 0, nl; pos < s.size(); pos = nl + 1) {
        nl = s.find('\n', pos);
        if (nl == std::string::npos)
            nl = s.size();
        std::string line = s.substr(pos, nl - pos);
        size_t sp = line.find(' ');
        if (line.find(':') > sp && line.find('-') < sp) { // a mapping's header
            size_t name = line.find('/');
            bool exe = name != std::string::npos && line.size() >= 8 &&
                       line.compare(line.size() - 8, 8, "/Kestrun") == 0;
            inBss = afterExe && name == std::string::npos && line.find('[') == std::string::npos;
            afterExe = exe;
            if (inBss)
                size = rss = 0;
        } else if (inBss && line.rfind("Size:", 0) == 0) {
            size = strtol(line.c_str() + 5, nullptr, 10);
        } else if (inBss && line.rfind("Rss:", 0) == 0) {
            rss = strtol(line.c_str() + 4, nullptr, 10);
            return true;
        }
    }
    return false;
}

// One daemon in a throw-away directory: <root>/module holds the daemon's
// files, <root>/work the scenario and the shim's logs.
struct Run {
    std::string root, module, work;
    pid_t pid = -1;

    std::string mod(const std::string &name) const {
        return module + "/" + name;
    }
    std::string scenario() const {
        return work + "/scenario.txt";
    }
    std::string sleepLog() const {
        return work + "/sleep.txt";
    }
    // Pauses begun so far: the shim logs "sleep 1\n" for each.
    size_t sleeps() const {
        return static_cast<size_t>(std::max(0LL, fileSize(sleepLog()))) / 8;
    }
};

bool setUp(Run &r, const std::string &tag) {
    const char *tmp = getenv("TMPDIR");
    std::string templ =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrun-bench-" + tag + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        perror("mkdtemp");
        return false;
    }
    r.root = templ;
    r.module = r.root + "/module";
    r.work = r.root + "/work";
    std::error_code ec;
    fs::create_directory(r.module, ec);
    fs::create_directory(r.work, ec);
    fs::copy_file(KESTRUN_BIN, r.mod("Kestrun"), ec);
    if (!ec)
        fs::copy_file(KESTRUN_SIM_LIB, r.mod("libstorelib.so.2.52-0"), ec);
    if (ec) {
        fprintf(stderr, "setting up %s: %s\n", r.root.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

bool start(Run &r, int sleepMs, const Env &extra = {}) {
    Env env = {{"PATH", "/usr/local/bin:/usr/bin:/bin"},
               {"LANG", "C"},
               // For a sanitized build: the preloaded shim comes before the runtime.
               {"ASAN_OPTIONS", "verify_asan_link_order=0:halt_on_error=1"},
               {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1"},
               {"LD_PRELOAD", KESTRUN_SHIM_LIB},
               {"KESTRUN_TEST_SYSLOG", r.work + "/syslog.txt"},
               {"KESTRUN_TEST_SLEEP_LOG", r.sleepLog()},
               {"KESTRUN_TEST_SLEEP_MS", std::to_string(sleepMs)},
               {"KESTRUN_SIM_SCENARIO", r.scenario()},
               {"TZ", "UTC"}};
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> strings;
    for (const auto &[k, v] : env)
        strings.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &s : strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = r.mod("Kestrun");
    // KESTRUN_BENCH_WRAPPER: words run before the daemon (e.g. valgrind's
    // callgrind, for instruction counts; its CPU and memory figures are then
    // the wrapper's).
    std::vector<std::string> words;
    const char *wrapper = getenv("KESTRUN_BENCH_WRAPPER");
    for (const char *p = wrapper ? wrapper : ""; *p != '\0';) {
        size_t n = strcspn(p, " ");
        if (n > 0)
            words.emplace_back(p, n);
        p += n + (p[n] == ' ');
    }
    words.push_back(path);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string out = r.work + "/output.txt";

    r.pid = fork();
    if (r.pid < 0)
        return false;
    if (r.pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (chdir(r.work.c_str()) != 0 || fd < 0)
            _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return true;
}

// Stops the daemon (SIGTERM, then SIGKILL after 10 s); returns its exit code,
// or -1 when it did not exit normally.
int stop(Run &r, int sig = SIGTERM) {
    if (r.pid <= 0)
        return -1;
    kill(r.pid, sig);
    int status = 0;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (waitpid(r.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(r.pid, SIGKILL);
            waitpid(r.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.pid = -1;
    // The daemon writes nothing to its output unless something went wrong
    // (a sanitizer report, for one).
    std::string out = readFile(r.work + "/output.txt");
    if (!out.empty() && sig == SIGTERM)
        fprintf(stderr, "  WARNING: daemon output:\n%s\n", out.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void tearDown(Run &r) {
    if (r.pid > 0)
        stop(r, SIGKILL);
    if (getenv("KESTRUN_BENCH_KEEP") != nullptr) {
        printf("  (kept %s)\n", r.root.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(r.root, ec);
}

// Freezes the daemon so that CPU time and cycle count are read at one instant.
template <typename F> void whileStopped(pid_t pid, F read) {
    int status = 0;
    kill(pid, SIGSTOP);
    waitpid(pid, &status, WUNTRACED);
    read();
    kill(pid, SIGCONT);
}

bool fail(Run &r, const char *what) {
    fprintf(stderr, "  FAILED: %s (daemon output: %s)\n", what,
            readFile(r.work + "/output.txt").c_str());
    tearDown(r);
    return false;
}

// The run really had the media-error test on (the model matched).
void checkMedium(const Run &r) {
    if (readFile(r.mod("PredictiveFailure.log")).find("MEDIUM Mode : ON") == std::string::npos)
        fprintf(stderr, "  WARNING: MEDIUM mode was not on\n");
}

std::string iniText(const std::string &lwait, const std::string &mode, bool poll, bool smart,
                    bool aerror, bool medium, const std::string &aerrorCount) {
    auto on = [](bool b) { return b ? "ON" : "OFF"; };
    return "[WAIT]\nLWAIT_TIME=" + lwait + "\n[THRESHOLD]\nTHRESHOLD_MODE=" + mode +
           "\nTHRESHOLD_TIME=5\n" + "[POLL]\nPOLL_EVENT=" + on(poll) +
           "\n[SMART]\nSMART_MODE=" + on(smart) + "\n" + "[AERROR]\nAERROR_MODE=" + on(aerror) +
           "\nAERROR_COUNT_HDD=" + aerrorCount + "\nAERROR_COUNT_SSD=" + aerrorCount +
           "\n[MEDIUM]\nMC_MODE=" + on(medium) + "\nMCMR_COUNT=1\nMCMR_NAME1=" + kModel +
           "\n[HISTORY]\nHISTORY_COUNT=7\n";
}

// ctrls x drives online drives of the matched model. Each controller's log
// holds one start event and one counted event per drive; the counted ones
// become visible in the second cycle, so a few events flow after start-up.
std::string memoryScenario(int ctrls, int drives) {
    std::string s;
    char line[256];
    for (int c = 0; c < ctrls; c++) {
        snprintf(line, sizeof line, "controller %d model=\"%s\" newest=1\n", c, kModel);
        s += line;
        for (int id = 0; id < drives; id++) {
            snprintf(
                line, sizeof line,
                "drive c=%d id=%d state=online merr=3\nevent c=%d seq=%d time=%d code=267 dev=%d "
                "desc=\"Command timeout\"\n",
                c, id, c, id + 2, 2000 + id, id);
            s += line;
        }
        snprintf(line, sizeof line,
                 "event c=%d seq=1 time=1000 code=10 desc=start\n"
                 "at cmd=evtseqinfo n=%d controller %d newest=%d\n",
                 c, ctrls + 1, c, drives + 1);
        s += line;
    }
    return s;
}

bool benchMemory(int ctrls, int drives, size_t cycles) {
    std::string tag = std::to_string(ctrls) + "x" + std::to_string(drives);
    const std::string ini = iniText("1000", "TIME", false, true, true, true, "20");

    // Baseline: held by the simulator at its first command, right after start-up.
    Run b;
    if (!setUp(b, "mem" + tag) || !writeFile(b.mod("Kestrun.ini"), ini) ||
        !writeFile(b.scenario(),
                   memoryScenario(ctrls, drives) + "hold cmd=ctrlsearch ms=30000 times=1\n") ||
        !start(b, 0))
        return fail(b, "baseline start");
    // The simulator writes the used-up hold back before it starts to sleep.
    if (!waitFor(
            [&] {
                return fileSize(b.scenario()) > 0 &&
                       readFile(b.scenario()).find("hold ") == std::string::npos;
            },
            20000, 1000))
        return fail(b, "the daemon never reached the held first command");
    long base = hwmKiB(b.pid), baseBss = 0, bssSize = 0;
    bssKiB(b.pid, baseBss, bssSize);
    tearDown(b);

    Run r;
    if (!setUp(r, "mem" + tag) || !writeFile(r.mod("Kestrun.ini"), ini) ||
        !writeFile(r.scenario(), memoryScenario(ctrls, drives)) || !start(r, 0))
        return fail(r, "start");
    if (!waitFor([&] { return r.sleeps() >= cycles; }, 60000, 1000))
        return fail(r, "cycles did not complete");
    long peak = hwmKiB(r.pid), bss = 0;
    bssKiB(r.pid, bss, bssSize);
    int history = 0;
    for (const auto &e : fs::directory_iterator(r.module))
        history += e.path().filename().string().rfind("AERROR_Cnt", 0) == 0;
    if (stop(r) != 0)
        return fail(r, "the daemon did not stop cleanly");
    checkMedium(r);
    printf("memory %-6s held at first command: VmHWM %6ld KiB; after %zu cycles: %6ld KiB%s; "
           "difference %5ld KiB%s = %.1f KiB per drive; static tables resident %ld then %ld of "
           "%ld KiB (%d history files)\n",
           tag.c_str(), base, cycles, peak, drives * ctrls == 8 ? " [goal: <= 4096]" : "",
           peak - base, drives * ctrls == 8 ? " [goal: <= 2048]" : "",
           static_cast<double>(peak - base) / (ctrls * drives), baseBss, bss, bssSize, history);
    tearDown(r);
    return true;
}

// CPU microseconds this process spends per call of fn.
template <typename F> double cpuUsPer(int reps, F fn) {
    timespec t0{}, t1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
    for (int i = 0; i < reps; i++)
        fn();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
    return (static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e9 +
            static_cast<double>(t1.tv_nsec - t0.tv_nsec)) /
           1e3 / reps;
}

// One pass (open, read every entry, close) over a directory.
double dirPassUs(const std::string &dir) {
    return cpuUsPer(200, [&] {
        DirPtr d(opendir(dir.c_str()));
        while (d && readdir(d.get()) != nullptr) {
        }
    });
}

struct StormResult {
    double usPerEvent = 0, passUs = 0;
};

// One cycle drains `events` counted events over 8 drives, each of which has 7
// history files of earlier runs; `others` unrelated files share the directory.
bool benchStorm(int others, StormResult &res) {
    constexpr int drives = 8, events = 10000, seqFirst = 2, seqLast = seqFirst + events - 1;
    Run r;
    if (!setUp(r, "storm"))
        return fail(r, "set-up");
    // Count mode with thresholds beyond the saturated count: nothing is removed.
    writeFile(r.mod("Kestrun.ini"), iniText("1000", "COUNT", false, false, true, false, "100000"));

    std::string s = "controller 0 model=\"" + std::string(kModel) + "\" newest=1\n";
    s += "event c=0 seq=1 time=1000 code=10 desc=start\n";
    // The first cycle reads event 1 only; the storm shows in the second.
    s += "at cmd=evtlist n=1 controller 0 newest=" + std::to_string(seqLast) + "\n";
    char line[256];
    for (int id = 0; id < drives; id++) {
        snprintf(line, sizeof line, "drive c=0 id=%d state=online\n", id);
        s += line;
    }
    static const char *const kinds[] = {"code=267", "code=268",
                                        "code=113 key=0x03 asc=0x11 ascq=0"};
    for (int seq = seqFirst; seq <= seqLast; seq++) {
        snprintf(line, sizeof line,
                 "event c=0 seq=%d time=%d %s dev=%d desc=\"Command timeout on PD\"\n", seq,
                 100000 + seq, kinds[seq % 3], (seq - seqFirst) % drives);
        s += line;
    }
    writeFile(r.scenario(), s);

    time_t now = time(nullptr);
    for (int id = 0; id < drives; id++)
        for (int k = 1; k <= 7; k++) {
            char name[64];
            snprintf(name, sizeof name, "AERROR_Cnt0_Id%d_2023010%d_000000.dat", id, k);
            writeFile(r.mod(name), "2023/1/1 00:00:00 1 Command timeout on PD\n");
            timespec times[2] = {{now - (10 - k) * 86400, 0}, {now - (10 - k) * 86400, 0}};
            utimensat(AT_FDCWD, r.mod(name).c_str(), times, 0);
        }
    for (int i = 0; i < others; i++) {
        char name[64];
        snprintf(name, sizeof name, "unrelated_%04d.txt", i);
        writeFile(r.mod(name), "x\n");
    }

    // The run's history files carry the (fixed) start time in their names.
    time_t fixed = static_cast<time_t>(kFixedTime);
    struct tm t {};
    gmtime_r(&fixed, &t);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &t);
    auto current = [&](int id) {
        return r.mod("AERROR_Cnt0_Id" + std::to_string(id) + "_" + stamp + ".dat");
    };

    // Each pause is 1 s, so CPU time is read while the daemon sleeps: after
    // the first cycle and after the storm cycle.
    if (!start(r, 1000, {{"KESTRUN_TEST_TIME", std::to_string(kFixedTime)}}))
        return fail(r, "start");
    if (!waitFor([&] { return r.sleeps() >= 1; }, 20000, 100))
        return fail(r, "first cycle");
    Cpu before, after;
    readCpu(r.pid, before);
    if (fileSize(current(0)) >= 0)
        return fail(r, "the storm began before the first pause");
    if (!waitFor([&] { return fileSize(current(0)) >= 0; }, 5000, 50))
        return fail(r, "the storm did not start");
    auto t0 = Clock::now();
    if (!waitFor([&] { return r.sleeps() >= 2; }, 120000, 50))
        return fail(r, "the storm did not end");
    auto t1 = Clock::now();
    readCpu(r.pid, after);

    size_t lines = 0, files = 0;
    for (int id = 0; id < drives; id++)
        lines += countOf(readFile(current(id)), "\n");
    for (const auto &e : fs::directory_iterator(r.module))
        files += e.path().filename().string().rfind("AERROR_Cnt", 0) == 0;
    size_t entries = static_cast<size_t>(
        std::distance(fs::directory_iterator(r.module), fs::directory_iterator()));
    if (stop(r) != 0)
        return fail(r, "the daemon did not stop cleanly");
    if (lines != static_cast<size_t>(events) || files != 7u * drives)
        fprintf(stderr,
                "  WARNING: %zu history lines (expected %d), %zu history files (expected %d)\n",
                lines, events, files, 7 * drives);

    double wall = std::chrono::duration<double, std::milli>(t1 - t0).count();
    double cpu = after.total() - before.total();
    res.usPerEvent = cpu * 1000.0 / events;
    res.passUs = dirPassUs(r.module);
    printf("storm  %4zu entries (%4d unrelated files): %d events in %7.1f ms = %6.0f events/s "
           "(CPU-bound: %6.0f/s); CPU %6.0f ms (user %4.0f, sys %5.0f) = %6.1f us/event; "
           "one directory pass %6.1f us%s\n",
           entries, others, events, wall, events / wall * 1000.0,
           cpu > 0 ? events / cpu * 1000.0 : 0, cpu, after.user - before.user,
           after.sys - before.sys, res.usPerEvent, res.passUs,
           others < 100 ? " [goal: >= 20000 events/s]" : "");
    tearDown(r);
    return true;
}

long rssKiB(pid_t pid) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t p = s.find("VmRSS:");
    return p == std::string::npos ? -1 : strtol(s.c_str() + p + 6, nullptr, 10);
}

// A storm that goes on: `rounds` batches of `batch` counted events over 8
// drives, each batch added to the running simulator and drained by the next
// cycles. Resident size is read after every batch (the daemon sleeping). With
// logMax > 0 the simulator's controller log keeps only its newest logMax
// events, as a real one does, so what still grows is the daemon's.
bool benchLongStorm(int rounds, int batch, int logMax, std::vector<long> &rss) {
    constexpr int drives = 8;
    Run r;
    if (!setUp(r, "longstorm"))
        return fail(r, "set-up");
    writeFile(r.mod("Kestrun.ini"),
              iniText("1000", "COUNT", false, false, true, false, "1000000000"));
    std::string s = "controller 0 model=\"" + std::string(kModel) + "\"\n";
    s += "event c=0 seq=1 time=1000 code=10 desc=start\n";
    for (int id = 0; id < drives; id++)
        s += "drive c=0 id=" + std::to_string(id) + " state=online\n";
    writeFile(r.scenario(), s);
    Env env = {{"KESTRUN_TEST_TIME", std::to_string(kFixedTime)}};
    if (logMax > 0)
        env.push_back({"KESTRUN_SIM_EVENT_LOG", std::to_string(logMax)});
    if (!start(r, 5, env))
        return fail(r, "start");
    if (!waitFor([&] { return r.sleeps() >= 1; }, 20000, 100))
        return fail(r, "first cycle");
    static const char *const kinds[] = {"code=267", "code=268",
                                        "code=113 key=0x03 asc=0x11 ascq=0"};
    int seq = 2;
    char line[256];
    for (int round = 0; round < rounds; round++) {
        std::string add;
        for (int i = 0; i < batch; i++, seq++) {
            snprintf(line, sizeof line,
                     "event c=0 seq=%d time=%d %s dev=%d desc=\"Command timeout on PD\"\n", seq,
                     100000 + seq, kinds[seq % 3], seq % drives);
            add += line;
        }
        std::string tmp = r.scenario() + ".add.tmp";
        if (!writeFile(tmp, add) || rename(tmp.c_str(), (r.scenario() + ".add").c_str()) != 0)
            return fail(r, "adding events");
        // Applied at the next command, read by the cycle after it.
        size_t from = r.sleeps();
        if (!waitFor([&] { return r.sleeps() >= from + 3; }, 60000, 200))
            return fail(r, "the storm stalled");
        rss.push_back(rssKiB(r.pid));
    }
    if (stop(r) != 0)
        return fail(r, "the daemon did not stop cleanly");
    tearDown(r);
    return true;
}

bool benchLongStorms() {
    constexpr int rounds = 60, batch = 2000;
    for (int logMax : {0, 4 * batch}) {
        std::vector<long> rss;
        if (!benchLongStorm(rounds, batch, logMax, rss))
            return false;
        printf("longstorm %d events in %d batches, simulator log %s: resident KiB after batch "
               "1, 10, 20, 30, 40, 50, 60: %ld %ld %ld %ld %ld %ld %ld; growth from batch 10 "
               "on %+ld KiB%s\n",
               rounds * batch, rounds,
               logMax > 0 ? ("newest " + std::to_string(logMax)).c_str() : "every event", rss[0],
               rss[9], rss[19], rss[29], rss[39], rss[49], rss[59], rss[59] - rss[9],
               logMax > 0 ? " [goal: flat, within 64 KiB]" : " (the simulator's kept events)");
    }
    return true;
}

// One health-scan measurement; `metrics` adds the metrics file (in the work
// directory). Fills the CPU microseconds per drive; prints unless quiet.
bool scanRun(bool metrics, bool quiet, double &usPerDrive) {
    constexpr int ctrls = 4, drives = 256;
    Run r;
    if (!setUp(r, "scan"))
        return fail(r, "set-up");
    // No pause (LWAIT_TIME below 1000); a 1010 line opens every cycle.
    writeFile(r.mod("Kestrun.ini"),
              iniText("500", "TIME", true, true, false, true, "20") +
                  (metrics ? "[METRICS]\nMETRICS_FILE=" + r.work + "/kestrun.prom\n" : ""));
    std::string s;
    char line[128];
    for (int c = 0; c < ctrls; c++) {
        snprintf(line, sizeof line, "controller %d model=\"%s\"\n", c, kModel);
        s += line;
        for (int id = 0; id < drives; id++) {
            snprintf(line, sizeof line, "drive c=%d id=%d state=online merr=3\n", c, id);
            s += line;
        }
    }
    writeFile(r.scenario(), s);
    const std::string log = r.mod("PredictiveFailure.log");
    auto cycles = [&] { return countOf(readFile(log), "<1010:"); };
    if (!start(r, 0) || !waitFor([&] { return cycles() >= 3; }, 20000, 1000))
        return fail(r, "start");

    const char *msEnv = getenv("KESTRUN_BENCH_SCAN_MS");
    int ms = msEnv ? atoi(msEnv) : 2000;
    Cpu c0, c1;
    size_t n0 = 0, n1 = 0;
    whileStopped(r.pid, [&] {
        readCpu(r.pid, c0);
        n0 = cycles();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? ms : 2000));
    whileStopped(r.pid, [&] {
        readCpu(r.pid, c1);
        n1 = cycles();
    });
    if (stop(r) != 0)
        return fail(r, "the daemon did not stop cleanly");

    // What the simulator adds to every command: a stat of the scenario and of
    // its .add path, measured here in the same directory.
    std::string scen = r.scenario(), add = scen + ".add";
    double statUs = cpuUsPer(20000, [&] {
        struct stat st {};
        stat(scen.c_str(), &st);
        stat(add.c_str(), &st);
    });
    checkMedium(r);

    size_t n = n1 - n0;
    double cpu = c1.total() - c0.total();
    double perDrive = n ? cpu * 1000.0 / (static_cast<double>(n) * ctrls * drives) : 0;
    usPerDrive = perDrive;
    if (metrics && fileSize(r.work + "/kestrun.prom") <= 0)
        return fail(r, "no metrics file");
    if (quiet) {
        tearDown(r);
        return true;
    }
    printf(
        "scan   %dx%d drives: %zu cycles, CPU %.0f ms (user %.0f, sys %.0f) = %.2f us per drive; "
        "the simulator's two stat() calls per command: %.2f us [goal: < 5 us per drive]\n",
        ctrls, drives, n, cpu, c1.user - c0.user, c1.sys - c0.sys, perDrive, statUs);
    tearDown(r);
    return true;
}

bool benchScan() {
    double us = 0;
    return scanRun(false, false, us);
}

// The scan with and without the metrics file, alternating (three each) so
// that a change in the machine's load hits both; medians compared.
bool benchMetrics() {
    std::vector<double> off, on;
    for (int i = 0; i < 3; i++) {
        double a = 0, b = 0;
        if (!scanRun(false, true, a) || !scanRun(true, true, b))
            return false;
        off.push_back(a);
        on.push_back(b);
    }
    std::sort(off.begin(), off.end());
    std::sort(on.begin(), on.end());
    printf("metrics 4x256 drives: us per drive off %.2f %.2f %.2f, on %.2f %.2f %.2f; "
           "median extra %.2f us per drive [goal: <= 1 us]\n",
           off[0], off[1], off[2], on[0], on[1], on[2], on[1] - off[1]);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "all";
    if (what != "all" && what != "memory" && what != "storm" && what != "scan" &&
        what != "metrics" && what != "longstorm") {
        fprintf(stderr, "usage: %s [memory|storm|longstorm|scan|metrics|all] | storm <files>\n",
                argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("Kestrun benchmarks (%s build%s, %ld CPUs online)\n", KESTRUN_BUILD_TYPE,
           KESTRUN_BENCH_SANITIZED ? " with sanitizers: figures not representative" : "",
           sysconf(_SC_NPROCESSORS_ONLN));
    bool ok = true;
    if (what == "all" || what == "memory") {
        ok = benchMemory(1, 8, 20) && ok;
        ok = benchMemory(4, 256, 10) && ok;
        ok = benchMemory(16, 256, 10) && ok;
    }
    if (what == "storm" && argc > 2) {
        StormResult one; // a single storm, e.g. to profile it
        ok = benchStorm(atoi(argv[2]), one);
    } else if (what == "all" || what == "storm") {
        StormResult small, large;
        // About 20 other files (the daemon's own five and 15 more), then 2,000 more.
        if (benchStorm(15, small) && benchStorm(2000, large)) {
            double extra = large.usPerEvent - small.usPerEvent, pass = large.passUs - small.passUs;
            printf("storm  extra CPU per event with the large directory: %.1f us = %.2f passes "
                   "over the "
                   "1985 extra entries (%.1f us each) [goal: <= 1]\n",
                   extra, pass > 0 ? extra / pass : 0, pass);
        } else {
            ok = false;
        }
    }
    if (what == "all" || what == "longstorm")
        ok = benchLongStorms() && ok;
    if (what == "all" || what == "scan")
        ok = benchScan() && ok;
    if (what == "all" || what == "metrics")
        ok = benchMetrics() && ok;
    return ok ? 0 : 1;
}
