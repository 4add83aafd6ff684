// The Prometheus text file, end to end on the demo scenario: the families it
// must hold, the format as Prometheus's own checker and the node exporter see
// it, and that it costs no controller command.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

// Runs a command, returning its exit status and output.
int run(const std::string &cmd, std::string *out) {
    FILE *p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    int st = ::pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string demoIni() {
    return kt::readText(std::string(KESTRUN_SOURCE_DIR) + "/demo/Kestrun.ini");
}
std::string demoScenario() {
    return kt::readText(std::string(KESTRUN_SOURCE_DIR) + "/sim/demo.scenario");
}

// The controller commands up to the start of cycle `n + 1` (its drive list),
// without the block's raw bytes (they hold the reply buffer's address).
std::vector<std::string> callsBeforeCycle(const kt::Daemon &d, size_t n) {
    std::vector<std::string> out;
    size_t lists = 0;
    for (const auto &c : d.calls()) {
        if (c.kind == "pdlist" && ++lists > n)
            break;
        out.push_back(c.raw.substr(0, c.raw.find(" raw=")));
    }
    return out;
}

struct MetricsRun {
    kt::Daemon d;
    std::string dir = d.workPath("textfile");
    std::string file = dir + "/kestrun.prom";

    void runWith(const std::string &ini, const std::string &scenario, size_t cycles) {
        ASSERT_TRUE(d.installDaemon());
        ASSERT_TRUE(d.installSimulator());
        ::mkdir(dir.c_str(), 0755);
        ASSERT_TRUE(d.writeIni(ini));
        ASSERT_TRUE(d.writeScenario(scenario));
        ASSERT_TRUE(d.start());
        kt::completeCycles(d, cycles);
    }
    void runDemo(const std::string &extraIni, size_t cycles) {
        runWith(demoIni() + extraIni, demoScenario(), cycles);
    }
    std::string metricsIni() const {
        return "[METRICS]\nMETRICS_FILE=" + file + "\n";
    }
};

struct MetricsFixture : MetricsRun, ::testing::Test {};

// One HTTP/1.0 GET on the loopback interface; the whole reply, or "" .
std::string httpGet(const std::string &port, const std::string &path) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return "";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    std::string reply;
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::write(s, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(s, buf, sizeof buf)) > 0)
                reply.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(s);
    return reply;
}

TEST_F(MetricsFixture, DemoRunExportsEveryFamily) {
    runDemo(metricsIni(), 5);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(kt::Daemon::listDir(dir), std::vector<std::string>{"kestrun.prom"}); // no temp left
    const std::string text = kt::readText(file);

    // Family, type, and samples it must hold after the demo's removals.
    const struct {
        const char *family;
        const char *type;
        std::vector<std::string> samples;
    } table[] = {
        {"kestrun_build_info", "gauge", {"kestrun_build_info{version=\"5.0.0.4\"} 1"}},
        {"kestrun_start_time_seconds", "gauge", {}},
        {"kestrun_last_cycle_time_seconds", "gauge", {}},
        {"kestrun_cycles_total", "counter", {}},
        {"kestrun_mode_enabled",
         "gauge",
         {"kestrun_mode_enabled{mode=\"SMART\"} 1", "kestrun_mode_enabled{mode=\"MEDIUM\"} 1",
          "kestrun_mode_enabled{mode=\"AERROR\"} 1", "kestrun_mode_enabled{mode=\"OBSERVE\"} 0"}},
        {"kestrun_controllers", "gauge", {"kestrun_controllers 1"}},
        {"kestrun_drive_firmware_state",
         "gauge",
         {"kestrun_drive_firmware_state{controller=\"0\",device_id=\"15\",enclosure=\"252\",slot="
          "\"15\"} 2"}},
        {"kestrun_drive_predictive_failures",
         "gauge",
         {"kestrun_drive_predictive_failures{controller=\"0\",device_id=\"18\",enclosure=\"252\","
          "slot=\"18\"} 4"}},
        {"kestrun_drive_media_errors",
         "gauge",
         {"kestrun_drive_media_errors{controller=\"0\",device_id=\"1\",enclosure=\"252\",slot="
          "\"1\"} 80"}},
        {"kestrun_drive_aerror_events",
         "gauge",
         {"kestrun_drive_aerror_events{controller=\"0\",device_id=\"12\",enclosure=\"252\",slot="
          "\"12\"} 3"}},
        {"kestrun_drive_kept_in_service", "gauge", {}},
        {"kestrun_removals_total",
         "counter",
         {"kestrun_removals_total{reason=\"SMART\",role=\"member\"} 1",
          "kestrun_removals_total{reason=\"SMART\",role=\"spare\"} 1",
          "kestrun_removals_total{reason=\"MEDIUM\",role=\"member\"} 1",
          "kestrun_removals_total{reason=\"AERROR\",role=\"member\"} 1",
          "kestrun_removals_total{reason=\"AERROR\",role=\"rebuilding\"} 0"}},
        {"kestrun_removal_failures_total",
         "counter",
         {"kestrun_removal_failures_total{reason=\"SMART\"} 0"}},
        {"kestrun_would_remove_total",
         "counter",
         {"kestrun_would_remove_total{reason=\"SMART\",role=\"member\"} 0"}},
        {"kestrun_command_failures_total",
         "counter",
         {"kestrun_command_failures_total{command=\"set_state\"} 0"}},
        {"kestrun_register_lines", "gauge", {"kestrun_register_lines 4"}},
        {"kestrun_alert_runs_total",
         "counter",
         {"kestrun_alert_runs_total{outcome=\"started\"} 0"}},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.family);
        EXPECT_THAT(text, HasSubstr(std::string("# HELP ") + row.family + " "));
        EXPECT_THAT(text, HasSubstr(std::string("# TYPE ") + row.family + " " + row.type + "\n"));
        for (const auto &s : row.samples)
            EXPECT_THAT(text, HasSubstr("\n" + s + "\n"));
    }
    EXPECT_EQ(d.registerLines().size(), 4u);

    std::string out;
    EXPECT_EQ(run("promtool check metrics < '" + file + "'", &out), 0) << out;
}

// The node exporter's textfile collector reads the file without error.
TEST_F(MetricsFixture, NodeExporterScrapesTheFile) {
    runDemo(metricsIni(), 2);
    // A free loopback port: bound, read and released for the exporter.
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    ::close(s);
    const std::string port = std::to_string(ntohs(a.sin_port));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 2);
        ::execlp("prometheus-node-exporter", "prometheus-node-exporter",
                 ("--web.listen-address=127.0.0.1:" + port).c_str(), "--collector.disable-defaults",
                 "--collector.textfile", ("--collector.textfile.directory=" + dir).c_str(),
                 static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string body;
    bool scraped = kt::Daemon::waitFor(
        [&] {
            body = httpGet(port, "/metrics");
            return body.find("kestrun_cycles_total") != std::string::npos;
        },
        10000);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ASSERT_TRUE(scraped) << body;
    EXPECT_THAT(body, HasSubstr("node_textfile_scrape_error 0"));
    EXPECT_THAT(body, HasSubstr("kestrun_removals_total{reason=\"SMART\",role=\"spare\"} 1"));
}

// A member its RAID 0 logical drive keeps in service (6000) is listed for as
// long as it is kept; once the logical drive can lose it, it is removed and
// no longer listed.
TEST(Metrics, KeptDriveListedUntilLetGo) {
    const struct {
        const char *name;
        const char *later; // timeline line changing the logical drive, or ""
        bool listed;
        const char *removals;
    } rows[] = {
        {"kept throughout", "", true, "0"},
        {"let go at cycle 3", "at cmd=pdlist n=3 ld c=0 n=0 raid=1 state=optimal members=4,5\n",
         false, "1"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        MetricsRun f;
        f.runWith("[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n[AERROR]\nAERROR_MODE=OFF\n"
                  "[MEDIUM]\nMC_MODE=OFF\n" +
                      f.metricsIni(),
                  std::string("controller 0 model=\"MegaRAID SAS 9361-8i\"\n"
                              "drive c=0 id=4 state=online pfail=1\ndrive c=0 id=5 state=online\n"
                              "ld c=0 n=0 raid=0 state=optimal members=4,5\n") +
                      row.later,
                  4);
        const std::string text = kt::readText(f.file);
        EXPECT_EQ(
            text.find("\nkestrun_drive_kept_in_service{controller=\"0\",device_id=\"4\"} 1\n") !=
                std::string::npos,
            row.listed)
            << text;
        EXPECT_THAT(
            text,
            HasSubstr(std::string("\nkestrun_removals_total{reason=\"SMART\",role=\"member\"} ") +
                      row.removals + "\n"));
        auto logged = kt::texts(f.d.logLines());
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                                [](auto &t) { return t.rfind("<6000:", 0) == 0; }),
                  1);
    }
}

// The metrics use only what the cycle read: the same commands with and
// without them.
TEST(Metrics, CostNoControllerCommand) {
    std::vector<std::string> traces[2];
    for (int on = 0; on < 2; on++) {
        MetricsRun f;
        f.runDemo(on ? f.metricsIni() : "", 4);
        traces[on] = callsBeforeCycle(f.d, 4);
        ASSERT_EQ(::access(f.file.c_str(), F_OK) == 0, on == 1);
    }
    EXPECT_GT(traces[0].size(), 20u);
    EXPECT_EQ(traces[0], traces[1]);
}

// A file that cannot be written is reported once, not at every cycle.
TEST_F(MetricsFixture, UnwritableFileReportedOnce) {
    runDemo("[METRICS]\nMETRICS_FILE=" + d.workPath("missing/kestrun.prom") + "\n", 3);
    auto logged = kt::texts(d.logLines());
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](auto &t) { return t.rfind("<6300:Warning>", 0) == 0; }),
              1)
        << ::testing::PrintToString(logged);
    EXPECT_THAT(logged, Contains("<6300:Warning> Metrics file cannot be written. (" +
                                 d.workPath("missing/kestrun.prom") + ") Error Code (2)"));
}

// A failed spare-information read is how a global spare is recognised: no
// command failure is counted for it.
TEST(Metrics, SpareRoleReadIsNoCommandFailure) {
    for (const char *role : {"global", "dedicated groups=0"}) {
        SCOPED_TRACE(role);
        MetricsRun f;
        f.runWith("[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n" + f.metricsIni(),
                  std::string("controller 0 model=\"M\"\ndrive c=0 id=5 state=spare pfail=1\n"
                              "spare c=0 id=5 role=") +
                      role + "\n",
                  2);
        const std::string text = kt::readText(f.file);
        EXPECT_THAT(text,
                    HasSubstr("\nkestrun_removals_total{reason=\"SMART\",role=\"spare\"} 1\n"));
        EXPECT_THAT(text,
                    HasSubstr("\nkestrun_command_failures_total{command=\"spare_info\"} 0\n"));
    }
}

} // namespace
