// Helpers shared by the tests that count monitoring cycles by the "1010" line
// each cycle sends to syslog (POLL_EVENT=ON).
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace kt {

// Cycles begun so far.
inline size_t pollCycles(const Daemon &d) {
    auto recs = d.syslog();
    return std::count_if(recs.begin(), recs.end(),
                         [](const auto &x) { return x.text.rfind("<1010:", 0) == 0; });
}

// Lets the started daemon complete `n` cycles, stops it cleanly and checks
// that the simulator never refused a block as malformed or a sequence number
// as stale.
inline void completeCycles(Daemon &d, size_t n) {
    ASSERT_TRUE(d.waitWhileRunning([&] { return pollCycles(d) > n; }, 10000))
        << "log: " << ::testing::PrintToString(texts(d.logLines()))
        << "\nstderr: " << d.stderrText();
    auto r = d.stop(SIGTERM);
    ASSERT_TRUE(r.exitedWith(0)) << r;
    for (const auto &c : d.calls()) {
        long long st = c.num("status");
        EXPECT_TRUE(st != 1 && st != 2 && st != 3 && st != 7) << c.raw;
    }
}

} // namespace kt
