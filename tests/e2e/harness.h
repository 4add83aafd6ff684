// End-to-end harness: runs the real Kestrun binary in a throw-away module
// directory with the test shim preloaded, and reads back what it left.
//
// Layout of one Daemon object (all under a fresh directory in $TMPDIR or /tmp,
// removed by the destructor unless KESTRUN_KEEP_TMP is set):
//   <root>/module/   the module directory (another relative name can be given):
//                    only the daemon's own files live here
//   <root>/work/     capture files: syslog.txt, sleep.txt, sigaction.txt,
//                    trace.txt, scenario.txt, stdout.txt, stderr.txt;
//                    also the default working directory of the daemon
//
// Typical use:
//   kt::Daemon d;
//   d.installDaemon();
//   d.installSimulator();
//   d.writeIni("[WAIT]\nLWAIT_TIME=1000\n");
//   ASSERT_TRUE(d.start());
//   ASSERT_TRUE(d.waitForSyslog("<1000:"));
//   ASSERT_TRUE(d.waitForSleeps(1));       // the daemon is in its polling loop
//   auto r = d.stop(SIGTERM);
//   EXPECT_TRUE(r.exitedWith(0)) << r;
//
// Sanitizer reports on the daemon's stderr make the test fail when the
// Daemon object is destroyed; a daemon still running then is killed.
#pragma once

#include "capture.h"

#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
// GCC 12 sees uninitialised members inside <regex> when sanitizing (a false
// positive in the library's own code).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace kt {

// Default file names.
inline constexpr const char *kDaemonName = "Kestrun";
inline constexpr const char *kLibName = "libstorelib.so.2.52-0";
inline constexpr const char *kIniName = "Kestrun.ini";
inline constexpr const char *kLogName = "PredictiveFailure.log";
inline constexpr const char *kRegisterName = "PdState_Flag.dat";
inline constexpr const char *kWorkTxtName = "Work.txt";

// How a run ended, or that it had not ended when a wait gave up.
struct ExitResult {
    bool finished = false; // false: still running when the wait timed out
    bool exited = false;   // ended through exit(); `code` holds the status
    int code = -1;
    int signal = 0; // terminating signal when it did not exit
    bool exitedWith(int c) const {
        return finished && exited && code == c;
    }
};
std::ostream &operator<<(std::ostream &os, const ExitResult &r);

struct StartOptions {
    // argv[0]. Empty: the absolute path of <module>/Kestrun.
    std::string argv0;
    // File handed to execve. Empty: argv0 itself (resolved against cwd).
    // Ignored with pathSearch.
    std::string execPath;
    // Arguments after argv[0].
    std::vector<std::string> args;
    // Start through a search of PATH (execvp of argv0); PATH is then
    // pathDirs joined, followed by the system directories.
    bool pathSearch = false;
    std::vector<std::string> pathDirs; // empty: the module directory
    // Working directory. Empty: the work directory.
    std::string cwd;
    // Real milliseconds per second of sleep() (KESTRUN_TEST_SLEEP_MS).
    int sleepMs = 2;
    std::optional<std::string> tz;            // TZ
    std::optional<long long> fixedTime;       // KESTRUN_TEST_TIME
    std::optional<std::string> failSigaction; // KESTRUN_TEST_FAIL_SIGACTION, e.g. "2" or "2,15"
    bool preloadShim = true;
    // RLIMIT_FSIZE of the daemon in bytes (applies to the capture files it
    // writes too: keep it well above their size).
    std::optional<long long> fileSizeLimit;
    // Point KESTRUN_SIM_SCENARIO at the work directory's scenario file (written
    // or not), so the simulator never keeps its state in the module directory.
    bool useScenario = true;
    // Extra variables; they override the harness's own of the same name.
    std::vector<std::pair<std::string, std::string>> env;
    // Words run in front of the daemon's path instead of KESTRUN_TEST_WRAPPER's
    // (the first an absolute path), e.g. a tracer.
    std::vector<std::string> wrapper;
};

// One line of the simulator's trace (format in sim/README.md). A call line reads
//   "<call no> <command> cat=.. op=.. ctrl=.. dev=.. ref=.. start=.. arg=.. len=.. status=..
//   raw=<hex>"
// (or "<call no> null status=2"); the other lines open with a word in
// capitals: HOLD, FIRE, LOAD, ADD, ERROR. For those, `fields` also holds the
// key=value tokens of the rest of the line (a FIRE line's timeline statement).
struct TraceLine {
    std::string raw;
    unsigned long long call = 0; // call number of a command line, 0 for the others
    std::string kind;            // command name ("pdinfo", ...) or the opening word
    std::string rest;            // everything after the call number and kind / the opening word
    std::map<std::string, std::string> fields; // every key=value token
    bool isCall() const {
        return call != 0;
    }
    // A numeric field, or dflt when absent.
    long long num(const std::string &key, long long dflt = -1) const;
};
TraceLine parseTraceLine(const std::string &line);

class Daemon {
  public:
    // moduleRel: the module directory relative to the temporary root; may
    // name nested directories and hold blanks or shell characters.
    explicit Daemon(const std::string &moduleRel = "module");
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // --- places ---
    const std::string &root() const {
        return root_;
    }
    const std::string &moduleDir() const {
        return module_;
    }
    const std::string &workDir() const {
        return work_;
    }
    std::string modulePath(const std::string &rel) const {
        return module_ + "/" + rel;
    }
    std::string workPath(const std::string &rel) const {
        return work_ + "/" + rel;
    }
    std::string daemonPath() const {
        return modulePath(kDaemonName);
    }
    std::string syslogPath() const {
        return workPath("syslog.txt");
    }
    std::string sleepLogPath() const {
        return workPath("sleep.txt");
    }
    std::string sigactionLogPath() const {
        return workPath("sigaction.txt");
    }
    std::string tracePath() const {
        return workPath("trace.txt");
    }
    std::string scenarioPath() const {
        return workPath("scenario.txt");
    }
    std::string stdoutPath() const {
        return workPath("stdout.txt");
    }
    std::string stderrPath() const {
        return workPath("stderr.txt");
    }

    // --- set-up (relative names are relative to the module directory;
    //     missing parent directories are created) ---
    // Copies the built daemon; returns false on failure (message in the test log).
    bool installDaemon(const std::string &rel = kDaemonName);
    bool installSimulator(const std::string &rel = kLibName);
    // installDaemon(), installSimulator(), writeScenario(), writeIni(): false
    // at the first that fails.
    bool setUp(const std::string &scenario, const std::string &ini) {
        return installDaemon() && installSimulator() && writeScenario(scenario) && writeIni(ini);
    }
    bool writeIni(const std::string &text) {
        return writeFile(kIniName, text);
    }
    // The simulator's scenario, in the work directory. Replaced atomically
    // (temporary file + rename), so it may also be changed while the daemon runs.
    bool writeScenario(const std::string &text);
    // Statements applied once to the simulator's current state at its next
    // call (the scenario's ".add" file, created atomically).
    bool addScenario(const std::string &text);
    std::string scenarioText() const {
        return readText(scenarioPath());
    } // as the simulator last wrote it
    bool writeFile(const std::string &rel, const std::string &content, unsigned mode = 0644);
    // Any absolute path (e.g. outside the module directory).
    static bool writeAbs(const std::string &path, const std::string &content, unsigned mode = 0644);
    static bool copyFile(const std::string &from, const std::string &to, unsigned mode);
    // Empties every capture file of the work directory.
    void clearCaptures();

    // --- running ---
    // Starts the daemon; false if one is running already or fork failed.
    // stdout/stderr are appended to the capture files across runs.
    bool start(const StartOptions &opts = {});
    pid_t pid() const {
        return pid_;
    }
    pid_t lastPid() const {
        return lastPid_;
    }                     // of the last start, also after it ended
    bool running();       // reaps the process if it ended
    bool signal(int sig); // to the daemon's pid only
    void kill();          // SIGKILL to the daemon's process group, then reap
    // Waits until the process ends or timeoutMs passes (polling every 2 ms).
    ExitResult waitExit(int timeoutMs = 5000);
    // signal() then waitExit().
    ExitResult stop(int sig = SIGTERM, int timeoutMs = 5000);
    const ExitResult &lastExit() const {
        return last_;
    }

    // --- waits (poll every 2 ms; true once met, false on timeout) ---
    static bool waitFor(const std::function<bool()> &cond, int timeoutMs = 5000);
    // Like waitFor, but also gives up as soon as the daemon is no longer
    // running and the condition still fails (checked once more after the end).
    // The wait helpers below all work this way.
    bool waitWhileRunning(const std::function<bool()> &cond, int timeoutMs = 5000);
    bool waitForFileContains(const std::string &path, const std::string &needle,
                             int timeoutMs = 5000);
    bool waitForLines(const std::string &path, const std::regex &re, size_t count,
                      int timeoutMs = 5000);
    bool waitForSyslog(const std::string &needle,
                       int timeoutMs = 5000); // a record whose text contains it
    bool waitForLog(const std::string &needle,
                    int timeoutMs = 5000); // a PredictiveFailure.log line
    bool waitForTrace(const std::regex &re, size_t count = 1, int timeoutMs = 5000);
    bool waitForSleeps(size_t count, int timeoutMs = 5000); // lines in the sleep log

    // --- readers ---
    std::vector<SyslogRecord> syslog() const {
        return readSyslogRecords(syslogPath());
    }
    std::vector<LogLine> logLines() const {
        return readLogLines(modulePath(kLogName));
    }
    std::vector<std::string> traceLines() const {
        return readLines(tracePath());
    }
    std::vector<TraceLine> trace() const;
    // The command lines only, optionally of one command name.
    std::vector<TraceLine> calls(const std::string &command = "") const;
    std::vector<std::string> sleepLog() const {
        return readLines(sleepLogPath());
    }
    std::vector<std::string> sigactionLog() const {
        return readLines(sigactionLogPath());
    }
    // Signal numbers whose handlers the last started daemon process (not its
    // children) tried to install, in order.
    std::vector<int> daemonSigactions() const;
    std::string registerText() const {
        return readText(modulePath(kRegisterName));
    }
    std::vector<std::string> registerLines() const {
        return readLines(modulePath(kRegisterName));
    }
    std::string stdoutText() const {
        return readText(stdoutPath());
    }
    std::string stderrText() const {
        return readText(stderrPath());
    }
    bool moduleHas(const std::string &rel) const;
    // Sorted names in the module directory (no "." or "..").
    std::vector<std::string> listModuleDir() const {
        return listDir(module_);
    }
    static std::vector<std::string> listDir(const std::string &dir);
    // Every file and directory below dir, relative, sorted; directories end in "/".
    static std::vector<std::string> listTree(const std::string &dir);

  private:
    void reap(int status);
    std::string root_, module_, work_;
    pid_t pid_ = -1;
    pid_t lastPid_ = -1;
    ExitResult last_;
};

// Stands in for the service manager's $NOTIFY_SOCKET (a path, or an abstract
// socket written "@name"): collects the daemon's datagrams in arrival order,
// and for every READY=1 whether the mode summary was in the log at that
// moment. A listener that is never drained is a manager that does not read.
class NotifyListener {
  public:
    explicit NotifyListener(const std::string &path);
    ~NotifyListener();
    NotifyListener(const NotifyListener &) = delete;
    NotifyListener &operator=(const NotifyListener &) = delete;
    bool ok() const {
        return ok_;
    }
    const std::vector<std::string> &drain(const Daemon &d);
    size_t count(const std::string &msg) const;
    bool has(const std::string &msg) const {
        return count(msg) > 0;
    }
    bool readyAfter1001() const {
        return readyAfter1001_;
    }
    // Drains, then whether any message so far matches re as a whole.
    bool anyMatch(const Daemon &d, const std::regex &re) {
        for (const auto &m : drain(d))
            if (std::regex_match(m, re))
                return true;
        return false;
    }
    // Options of a start that reports to this listener ($NOTIFY_SOCKET).
    StartOptions options() const {
        StartOptions o;
        o.env.emplace_back("NOTIFY_SOCKET", path_);
        return o;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
    bool readyAfter1001_ = false;
    std::vector<std::string> got_;
};

// The daemon's wrapper command (KESTRUN_TEST_WRAPPER, e.g. valgrind) and the
// factor every wait is stretched by (KESTRUN_TEST_TIMEOUT_SCALE).
std::vector<std::string> wrapperWords();
int timeoutScale();

// The texts of the records (handy in EXPECT_THAT / failure output).
std::vector<std::string> texts(const std::vector<SyslogRecord> &recs);
std::vector<std::string> texts(const std::vector<LogLine> &lines);
// The first record whose text contains needle, or nullptr.
const SyslogRecord *findSyslog(const std::vector<SyslogRecord> &recs, const std::string &needle);
const LogLine *findLog(const std::vector<LogLine> &lines, const std::string &needle);
// How many lines of d's PredictiveFailure.log contain needle.
size_t countLog(const Daemon &d, const std::string &needle);

} // namespace kt
