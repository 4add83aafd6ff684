// Helpers shared by the event-log tests: building event-log scenario lines,
// starting a daemon on them and waiting for its cycles.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

namespace kt {

// Settings with the health scan off, so that every drive read comes from the
// event-log scan or from a removal.
inline constexpr const char *kEventIni =
    "[WAIT]\nLWAIT_TIME=1000\n[SMART]\nSMART_MODE=OFF\n[MEDIUM]\nMC_MODE=OFF\n";

// One event line; `more` is appended as further key=value tokens.
inline std::string eventLine(int c, unsigned long seq, int code, int dev, long long time,
                             const std::string &more = "") {
    char buf[160];
    std::snprintf(buf, sizeof buf, "event c=%d seq=%lu time=%lld code=%d dev=%d", c, seq, time,
                  code, dev);
    return buf + (more.empty() ? std::string() : " " + more) + "\n";
}

// A scenario line applied just before the n-th sequence-information read,
// which with one controller is the read of cycle n.
inline std::string atRead(int n, const std::string &line) {
    return "at cmd=evtseqinfo n=" + std::to_string(n) + " " + line;
}

inline void startOn(Daemon &d, const std::string &scenario, const std::string &ini,
                    const StartOptions &o = {}) {
    ASSERT_TRUE(d.installDaemon());
    ASSERT_TRUE(d.installSimulator());
    ASSERT_TRUE(d.writeScenario(scenario));
    ASSERT_TRUE(d.writeIni(ini));
    ASSERT_TRUE(d.start(o));
}

// Waits until `reads` sequence-information reads have been made, so that the
// cycles before the last of them are complete.
inline void waitReads(Daemon &d, size_t reads) {
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ evtseqinfo "), reads))
        << "log: " << ::testing::PrintToString(texts(d.logLines()))
        << "\nstderr: " << d.stderrText();
}

inline void stopClean(Daemon &d) {
    auto r = d.stop(SIGTERM);
    EXPECT_TRUE(r.exitedWith(0)) << r << "\n" << d.stderrText();
}

} // namespace kt
