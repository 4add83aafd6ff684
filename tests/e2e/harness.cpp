#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kt {

namespace {

constexpr const char *kSystemPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool makeDirs(const std::string &dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        ADD_FAILURE() << "cannot create " << dir << ": " << ec.message();
        return false;
    }
    return true;
}

std::string parentOf(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

std::ostream &operator<<(std::ostream &os, const ExitResult &r) {
    if (!r.finished)
        return os << "{still running}";
    if (r.exited)
        return os << "{exit status " << r.code << "}";
    return os << "{killed by signal " << r.signal << " (" << strsignal(r.signal) << ")}";
}

Daemon::Daemon(const std::string &moduleRel) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kestrun-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp(" << tmpl << "): " << std::strerror(errno);
        return;
    }
    root_ = buf.data();
    module_ = root_ + "/" + moduleRel;
    work_ = root_ + "/work";
    makeDirs(module_);
    makeDirs(work_);
}

Daemon::~Daemon() {
    if (pid_ > 0)
        kill();
    std::string err = stderrText();
    static const char *const markers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                          "runtime error:", "UndefinedBehaviorSanitizer",
                                          "AddressSanitizer:DEADLYSIGNAL"};
    for (const char *m : markers) {
        if (err.find(m) != std::string::npos) {
            ADD_FAILURE() << "sanitizer report on the daemon's stderr:\n" << err;
            break;
        }
    }
    if (root_.empty())
        return;
    if (std::getenv("KESTRUN_KEEP_TMP") != nullptr) {
        std::printf("[ harness ] kept %s\n", root_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

bool Daemon::copyFile(const std::string &from, const std::string &to, unsigned mode) {
    if (!makeDirs(parentOf(to)))
        return false;
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        ADD_FAILURE() << "cannot copy " << from << " to " << to << ": " << ec.message();
        return false;
    }
    if (::chmod(to.c_str(), mode) != 0) {
        ADD_FAILURE() << "chmod " << to << ": " << std::strerror(errno);
        return false;
    }
    return true;
}

bool Daemon::installDaemon(const std::string &rel) {
    return copyFile(KESTRUN_BIN, modulePath(rel), 0755);
}

bool Daemon::installSimulator(const std::string &rel) {
    return copyFile(KESTRUN_SIM_LIB, modulePath(rel), 0755);
}

bool Daemon::writeAbs(const std::string &path, const std::string &content, unsigned mode) {
    if (!makeDirs(parentOf(path)))
        return false;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f) {
        ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
        return false;
    }
    if (!content.empty() &&
        std::fwrite(content.data(), 1, content.size(), f.get()) != content.size()) {
        ADD_FAILURE() << "short write to " << path;
        return false;
    }
    f.reset();
    return ::chmod(path.c_str(), mode) == 0;
}

bool Daemon::writeFile(const std::string &rel, const std::string &content, unsigned mode) {
    return writeAbs(modulePath(rel), content, mode);
}

namespace {

bool writeAtomically(const std::string &path, const std::string &text) {
    const std::string tmp = path + ".harness-tmp";
    if (!Daemon::writeAbs(tmp, text))
        return false;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "rename to " << path << ": " << std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool Daemon::writeScenario(const std::string &text) {
    return writeAtomically(scenarioPath(), text);
}

bool Daemon::addScenario(const std::string &text) {
    return writeAtomically(scenarioPath() + ".add", text);
}

void Daemon::clearCaptures() {
    for (const auto &p : {syslogPath(), sleepLogPath(), sigactionLogPath(), tracePath(),
                          stdoutPath(), stderrPath()})
        ::truncate(p.c_str(), 0);
}

// KESTRUN_TEST_WRAPPER: words (split at blanks) run in front of the daemon's
// path, the first an absolute path; with it the waits are scaled by
// KESTRUN_TEST_TIMEOUT_SCALE (default 1).
std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    std::istringstream in(std::getenv("KESTRUN_TEST_WRAPPER") ? std::getenv("KESTRUN_TEST_WRAPPER")
                                                              : "");
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

int timeoutScale() {
    const char *v = std::getenv("KESTRUN_TEST_TIMEOUT_SCALE");
    int scale = v != nullptr ? std::atoi(v) : 1;
    return scale > 0 ? scale : 1;
}

bool Daemon::start(const StartOptions &o) {
    if (pid_ > 0) {
        ADD_FAILURE() << "start: the daemon is running already";
        return false;
    }
    const std::string argv0 = o.argv0.empty() ? daemonPath() : o.argv0;
    const std::string execPath = o.execPath.empty() ? argv0 : o.execPath;
    const std::string cwd = o.cwd.empty() ? work_ : o.cwd;

    std::string path;
    if (o.pathSearch) {
        for (const auto &d : o.pathDirs.empty() ? std::vector<std::string>{module_} : o.pathDirs)
            path += d + ":";
    }
    path += kSystemPath;

    std::vector<std::pair<std::string, std::string>> env = {
        {"PATH", path},
        {"LANG", "C"},
        {"KESTRUN_TEST_SYSLOG", syslogPath()},
        {"KESTRUN_TEST_SLEEP_LOG", sleepLogPath()},
        {"KESTRUN_TEST_SIGACTION_LOG", sigactionLogPath()},
        {"KESTRUN_TEST_SLEEP_MS", std::to_string(o.sleepMs)},
        {"KESTRUN_SIM_TRACE", tracePath()},
        {"ASAN_OPTIONS",
         "verify_asan_link_order=0:detect_leaks=1:halt_on_error=1:print_stacktrace=1"},
        {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1"},
    };
    if (const char *home = std::getenv("HOME"))
        env.emplace_back("HOME", home);
    if (o.preloadShim)
        env.emplace_back("LD_PRELOAD", KESTRUN_SHIM_LIB);
    if (o.useScenario)
        env.emplace_back("KESTRUN_SIM_SCENARIO", scenarioPath());
    if (o.tz)
        env.emplace_back("TZ", *o.tz);
    if (o.fixedTime)
        env.emplace_back("KESTRUN_TEST_TIME", std::to_string(*o.fixedTime));
    if (o.failSigaction)
        env.emplace_back("KESTRUN_TEST_FAIL_SIGACTION", *o.failSigaction);
    for (const auto &kv : o.env) {
        auto it = std::find_if(env.begin(), env.end(),
                               [&](const auto &e) { return e.first == kv.first; });
        if (it != env.end())
            it->second = kv.second;
        else
            env.push_back(kv);
    }

    // Everything the child needs is built before fork: between fork and exec
    // only async-signal-safe calls are made.
    std::vector<std::string> envStrings;
    for (const auto &kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = {argv0};
    argStrings.insert(argStrings.end(), o.args.begin(), o.args.end());
    std::vector<char *> argvVec;
    for (auto &a : argStrings)
        argvVec.push_back(a.data());
    argvVec.push_back(nullptr);
    char **argv = argvVec.data();
    // A wrapper (e.g. valgrind) runs the daemon file by its path.
    std::vector<std::string> wrapper = o.wrapper.empty() ? wrapperWords() : o.wrapper;
    std::string execCopy = execPath;
    std::vector<char *> wrapped;
    for (auto &w : wrapper)
        wrapped.push_back(w.data());
    wrapped.push_back(execCopy.data());
    for (size_t i = 1; i < argStrings.size(); ++i)
        wrapped.push_back(argStrings[i].data());
    wrapped.push_back(nullptr);

    int out = ::open(stdoutPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int err = ::open(stderrPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
        ADD_FAILURE() << "cannot open the capture files: " << std::strerror(errno);
        for (int fd : {out, err, in})
            if (fd >= 0)
                ::close(fd);
        return false;
    }
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        // Own process group, so that kill() also reaches a shell or ldd the
        // daemon may have started.
        ::setpgid(0, 0);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(cwd.c_str()) != 0) {
            static const char msg[] = "harness: chdir failed\n";
            ssize_t r = ::write(2, msg, sizeof msg - 1);
            (void)r;
            ::_exit(126);
        }
        // Signals the test process ignores or blocks must not carry over.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (o.fileSizeLimit) {
            struct rlimit lim = {static_cast<rlim_t>(*o.fileSizeLimit),
                                 static_cast<rlim_t>(*o.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (o.pathSearch) {
            environ = envp.data();
            ::execvp(argv[0], argv);
        } else if (!wrapper.empty()) {
            ::execve(wrapped[0], wrapped.data(), envp.data());
        } else {
            ::execve(execPath.c_str(), argv, envp.data());
        }
        static const char msg[] = "harness: exec failed\n";
        ssize_t r = ::write(2, msg, sizeof msg - 1);
        (void)r;
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    ::close(in);
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return false;
    }
    pid_ = child;
    lastPid_ = child;
    last_ = ExitResult{};
    return true;
}

void Daemon::reap(int status) {
    last_.finished = true;
    last_.exited = WIFEXITED(status);
    last_.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    last_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    pid_ = -1;
}

bool Daemon::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reap(status);
        return false;
    }
    return r == 0;
}

bool Daemon::signal(int sig) {
    if (pid_ <= 0)
        return false;
    return ::kill(pid_, sig) == 0;
}

void Daemon::kill() {
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_)
        reap(status);
    pid_ = -1;
}

ExitResult Daemon::waitExit(int timeoutMs) {
    if (pid_ <= 0)
        return last_;
    waitFor([this] { return !running(); }, timeoutMs);
    if (pid_ > 0) {
        ExitResult r; // still running
        return r;
    }
    return last_;
}

ExitResult Daemon::stop(int sig, int timeoutMs) {
    if (!signal(sig))
        return running() ? ExitResult{} : last_;
    return waitExit(timeoutMs);
}

bool Daemon::waitFor(const std::function<bool()> &cond, int timeoutMs) {
    timeoutMs *= timeoutScale();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool Daemon::waitWhileRunning(const std::function<bool()> &cond, int timeoutMs) {
    bool ended = false;
    bool met = waitFor(
        [&] {
            if (cond())
                return true;
            ended = !running();
            return ended;
        },
        timeoutMs);
    return met && (!ended || cond());
}

bool Daemon::waitForFileContains(const std::string &path, const std::string &needle,
                                 int timeoutMs) {
    return waitWhileRunning([&] { return readText(path).find(needle) != std::string::npos; },
                            timeoutMs);
}

bool Daemon::waitForLines(const std::string &path, const std::regex &re, size_t count,
                          int timeoutMs) {
    return waitWhileRunning(
        [&] {
            size_t n = 0;
            for (const auto &l : readLines(path))
                if (std::regex_search(l, re))
                    ++n;
            return n >= count;
        },
        timeoutMs);
}

bool Daemon::waitForSyslog(const std::string &needle, int timeoutMs) {
    return waitWhileRunning([&] { return findSyslog(syslog(), needle) != nullptr; }, timeoutMs);
}

bool Daemon::waitForLog(const std::string &needle, int timeoutMs) {
    return waitWhileRunning([&] { return findLog(logLines(), needle) != nullptr; }, timeoutMs);
}

bool Daemon::waitForTrace(const std::regex &re, size_t count, int timeoutMs) {
    return waitForLines(tracePath(), re, count, timeoutMs);
}

bool Daemon::waitForSleeps(size_t count, int timeoutMs) {
    return waitWhileRunning([&] { return sleepLog().size() >= count; }, timeoutMs);
}

std::vector<int> Daemon::daemonSigactions() const {
    std::vector<int> out;
    const std::string suffix = " pid=" + std::to_string(lastPid_);
    for (const auto &l : sigactionLog()) {
        if (l.rfind("sigaction ", 0) == 0 && l.size() > suffix.size() &&
            l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(std::atoi(l.c_str() + 10));
    }
    return out;
}

bool Daemon::moduleHas(const std::string &rel) const {
    struct stat st;
    return ::lstat(modulePath(rel).c_str(), &st) == 0;
}

std::vector<std::string> Daemon::listDir(const std::string &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> Daemon::listTree(const std::string &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = fs::relative(it->path(), dir, ec).string();
        if (it->is_directory(ec))
            rel += "/";
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

long long TraceLine::num(const std::string &key, long long dflt) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty())
        return dflt;
    return std::strtoll(it->second.c_str(), nullptr, 0);
}

TraceLine parseTraceLine(const std::string &line) {
    TraceLine t;
    t.raw = line;
    size_t pos = 0;
    auto word = [&] {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        size_t b = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        return line.substr(b, pos - b);
    };
    std::string first = word();
    if (!first.empty() && first.find_first_not_of("0123456789") == std::string::npos) {
        t.call = std::strtoull(first.c_str(), nullptr, 10);
        t.kind = word();
    } else {
        t.kind = first;
    }
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    t.rest = line.substr(pos);
    for (std::string tok; !(tok = word()).empty();) {
        auto eq = tok.find('=');
        if (eq != std::string::npos && eq > 0)
            t.fields[tok.substr(0, eq)] = tok.substr(eq + 1);
    }
    return t;
}

std::vector<TraceLine> Daemon::trace() const {
    std::vector<TraceLine> out;
    for (const auto &l : traceLines())
        out.push_back(parseTraceLine(l));
    return out;
}

std::vector<TraceLine> Daemon::calls(const std::string &command) const {
    std::vector<TraceLine> out;
    for (auto &t : trace())
        if (t.isCall() && (command.empty() || t.kind == command))
            out.push_back(std::move(t));
    return out;
}

NotifyListener::NotifyListener(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    bool abstract = !path.empty() && path[0] == '@';
    std::string name = abstract ? path.substr(1) : path;
    if (name.size() + 2 > sizeof a.sun_path)
        return;
    memcpy(a.sun_path + (abstract ? 1 : 0), name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0;
}

NotifyListener::~NotifyListener() {
    if (fd_ >= 0)
        close(fd_);
}

const std::vector<std::string> &NotifyListener::drain(const Daemon &d) {
    char buf[512];
    for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) >= 0;) {
        got_.emplace_back(buf, static_cast<size_t>(n));
        if (got_.back() == "READY=1")
            readyAfter1001_ = findLog(d.logLines(), "<1001:") != nullptr;
    }
    return got_;
}

size_t NotifyListener::count(const std::string &msg) const {
    return static_cast<size_t>(std::count(got_.begin(), got_.end(), msg));
}

std::vector<std::string> texts(const std::vector<SyslogRecord> &recs) {
    std::vector<std::string> out;
    for (const auto &r : recs)
        out.push_back(r.text);
    return out;
}

size_t countLog(const Daemon &d, const std::string &needle) {
    auto lines = d.logLines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto &l) {
        return l.text.find(needle) != std::string::npos;
    }));
}

std::vector<std::string> texts(const std::vector<LogLine> &lines) {
    std::vector<std::string> out;
    for (const auto &l : lines)
        out.push_back(l.text);
    return out;
}

const SyslogRecord *findSyslog(const std::vector<SyslogRecord> &recs, const std::string &needle) {
    for (const auto &r : recs)
        if (r.text.find(needle) != std::string::npos)
            return &r;
    return nullptr;
}

const LogLine *findLog(const std::vector<LogLine> &lines, const std::string &needle) {
    for (const auto &l : lines)
        if (l.text.find(needle) != std::string::npos)
            return &l;
    return nullptr;
}

} // namespace kt
