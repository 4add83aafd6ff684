// The shipped log rotation, run by the real logrotate (private state file,
// the test's module directory) again and again while the daemon writes a
// line per cycle without pausing: across the rotated files and the new one
// no line is lost, duplicated or broken, and the order is kept.
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> commandLines(const std::string &cmd) {
    std::vector<std::string> out;
    std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), &pclose);
    if (!p)
        return out;
    std::string cur;
    for (int c; (c = std::fgetc(p.get())) != EOF;) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(c);
        }
    }
    return out;
}

TEST(LogRotation, NoLineLostOrDuplicatedWhileTheDaemonWrites) {
    constexpr int kRotations = 5;
    kt::Daemon d;
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario("controller 0 model=\"x\"\ndrive c=0 id=1 state=online\n"));
    // No pause between cycles: a 1010 line and one drive list per cycle.
    ASSERT_TRUE(d.writeIni("[WAIT]\nLWAIT_TIME=500\n[POLL]\nPOLL_EVENT=ON\n"
                           "[AERROR]\nAERROR_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n"));

    // The packaged configuration, pointed at this module directory.
    std::string conf =
        kt::readText(std::string(KESTRUN_SOURCE_DIR) + "/packaging/kestrun.logrotate");
    const std::string shipped = "/var/lib/kestrun/";
    ASSERT_NE(conf.find(shipped), std::string::npos);
    conf.replace(conf.find(shipped), shipped.size(), d.moduleDir() + "/");
    ASSERT_TRUE(kt::Daemon::writeAbs(d.workPath("logrotate.conf"), conf));
    const std::string rotate = "logrotate -f -s '" + d.workPath("logrotate.state") + "' '" +
                               d.workPath("logrotate.conf") + "' 2>&1";

    ASSERT_TRUE(d.start());
    const std::string log = d.modulePath(kt::kLogName);
    for (int i = 0; i < kRotations; ++i) {
        ASSERT_TRUE(d.waitWhileRunning([&] { return kt::readLines(log).size() >= 50; }));
        EXPECT_EQ(std::system(rotate.c_str()), 0) << "rotation " << i;
    }
    ASSERT_TRUE(d.waitWhileRunning([&] { return kt::readLines(log).size() >= 50; }));
    auto r = d.stop(SIGTERM);
    ASSERT_TRUE(r.exitedWith(0)) << r;

    // Oldest first: .5.gz ... .2.gz, .1 (left uncompressed), then the live file.
    std::vector<std::string> all;
    for (int n = kRotations; n >= 1; --n) {
        std::string base = log + "." + std::to_string(n);
        auto part = d.moduleHas(std::string(kt::kLogName) + "." + std::to_string(n))
                        ? kt::readLines(base)
                        : commandLines("zcat '" + base + ".gz'");
        EXPECT_FALSE(part.empty()) << "rotation " << n << " is missing";
        all.insert(all.end(), part.begin(), part.end());
    }
    auto live = kt::readLines(log);
    all.insert(all.end(), live.begin(), live.end());

    size_t polls = 0;
    std::string previous;
    for (const auto &raw : all) {
        auto l = kt::splitLogLine(raw);
        ASSERT_TRUE(l.stampOk) << "broken line: " << raw;
        EXPECT_LE(previous, l.stamp) << "out of order: " << raw;
        previous = l.stamp;
        if (l.text == "<1010:Information> Check the Predictive Failure Event.")
            ++polls;
    }
    // Every cycle wrote one 1010 line and asked for the drive list once; the
    // stop may have left the last cycle before its drive list.
    const size_t lists = d.calls("pdlist").size();
    EXPECT_TRUE(polls == lists || polls == lists + 1) << polls << " lines, " << lists << " lists";
    EXPECT_GT(polls, 6u * 50u - 1);
}

} // namespace
