// Allocation failures reached from the daemon's own heap sites: every heap
// allocation the daemon makes over a few cycles is failed in turn (through the
// allocation-failure preload), and each must give message 5002 with its
// site's name, leak nothing, and end monitoring or carry on as that site is
// meant to, with the next cycle doing the skipped work.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n"
                             "[AERROR]\nAERROR_COUNT_HDD=1000\n";
// Drive 7 is a spare with a predictive failure: the health scan removes it.
// Drive 5 gets one event per cycle from cycle 2 on; the event scan writes
// each to its history file exactly once.
constexpr const char *kScenario =
    "controller 0 model=\"MegaRAID SAS 9361-8i\"\n"
    "drive c=0 id=5 state=online\ndrive c=0 id=6 state=online\n"
    "drive c=0 id=7 state=spare pfail=1\n"
    "ld c=0 n=0 raid=1 state=optimal members=5,6\n"
    "event c=0 seq=10 time=800000000 code=267 dev=5\n"
    "at cmd=evtseqinfo n=2 event c=0 seq=11 time=800000001 code=267 dev=5\n"
    "at cmd=evtseqinfo n=3 event c=0 seq=12 time=800000002 code=267 dev=5\n";
constexpr size_t kCycles = 4;

// What a failure at each site does: whether monitoring ends with it.
const std::map<std::string, bool> kSites = {
    {"vMainProc", true},   // the sequence table before the first cycle
    {"vSmartChk", false},  // the drive list of one health scan
    {"iAErrorChk", false}, // one batch of the event scan
};

struct Outcome {
    std::vector<std::string> failures; // texts of the 5002 lines
    std::vector<std::string> allocLog;
    std::string registerText;
    std::map<std::string, int> historySeqs; // seq (hex) -> lines naming it
    bool exitedAlone = false;
};

Outcome runFailing(unsigned long n) {
    Outcome out;
    kt::Daemon d;
    EXPECT_TRUE(d.installDaemon() && d.installSimulator());
    EXPECT_TRUE(d.writeScenario(kScenario) && d.writeIni(kIni));
    kt::StartOptions o;
    o.env = {{"LD_PRELOAD", std::string(KESTRUN_SHIM_LIB) + ":" + KESTRUN_ALLOC_FAULT_LIB},
             {"KESTRUN_TEST_FAIL_ALLOC", std::to_string(n)},
             {"KESTRUN_TEST_ALLOC_LOG", d.workPath("alloc.txt")}};
    EXPECT_TRUE(d.start(o));
    bool cycled = d.waitWhileRunning([&] { return kt::pollCycles(d) > kCycles; }, 10000);
    out.exitedAlone = !cycled && !d.running();
    auto r = out.exitedAlone ? d.waitExit() : d.stop(SIGTERM);
    EXPECT_TRUE(r.exitedWith(0)) << "failing allocation " << n << ": " << r;
    for (const auto &l : d.logLines())
        if (l.text.rfind("<5002:", 0) == 0)
            out.failures.push_back(l.text);
    out.allocLog = kt::readLines(d.workPath("alloc.txt"));
    out.registerText = d.registerText();
    for (const auto &name : d.listModuleDir()) {
        if (name.rfind("AERROR_Cnt0_Id5_", 0) != 0)
            continue;
        for (const auto &line : kt::readLines(d.modulePath(name))) {
            std::smatch m;
            if (std::regex_search(line, m, std::regex(":[0-9]{2} ([0-9a-f]+) ")))
                out.historySeqs[m[1]]++;
        }
    }
    return out;
}

size_t countOf(const std::vector<std::string> &lines, const std::string &prefix) {
    size_t k = 0;
    for (const auto &l : lines)
        k += l.rfind(prefix, 0) == 0;
    return k;
}

TEST(AllocFailure, EverySiteReportsLeaksNothingAndRecovers) {
    // valgrind takes over every malloc, the preload's too.
    if (!kt::wrapperWords().empty())
        GTEST_SKIP() << "not under a wrapper";
    // Nothing failed: how many allocations a run of a few cycles makes.
    Outcome base = runFailing(0);
    ASSERT_THAT(base.failures, ::testing::IsEmpty());
    size_t total = countOf(base.allocLog, "alloc ");
    ASSERT_GE(total, 1 + kCycles) << "the allocation-failure preload counted nothing";
    EXPECT_THAT(base.allocLog, ::testing::Contains("live 0"));

    std::set<std::string> seen;
    for (unsigned long n = 1; n <= total; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        Outcome r = runFailing(n);
        // The last cycle's allocations race with the stop: a run may end
        // before it makes them. Those of the first cycles (one drive list and
        // one event batch each) are always made.
        if (countOf(r.allocLog, "fail ") == 0) {
            EXPECT_GT(n, 1 + 2 * (kCycles - 1)) << "the run ended before its allocation";
            break;
        }
        EXPECT_THAT(r.allocLog, ::testing::Contains("live 0")) << "a block was never freed";
        ASSERT_EQ(r.failures.size(), 1u) << ::testing::PrintToString(r.failures);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            r.failures[0], m,
            std::regex(R"(<5002:Error> Memory allocation failed\.\((\w+)\) Error Code \(12\))")))
            << r.failures[0];
        const std::string site = m[1];
        auto it = kSites.find(site);
        ASSERT_NE(it, kSites.end()) << "a heap site this test does not know: " << site;
        seen.insert(site);
        EXPECT_EQ(r.exitedAlone, it->second) << site;
        if (it->second)
            continue;
        // The skipped work is done by a later cycle: the spare is removed, and
        // each event of cycles 2 and 3 is in the history exactly once.
        EXPECT_EQ(r.registerText, "0,7\n") << site;
        EXPECT_EQ(r.historySeqs["b"], 1) << site;
        EXPECT_EQ(r.historySeqs["c"], 1) << site;
    }
    for (const auto &[site, ends] : kSites)
        EXPECT_TRUE(seen.count(site)) << site << " was never reached";
}

} // namespace
