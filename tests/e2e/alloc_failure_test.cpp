// Allocation failures reached from the daemon's own heap sites: every heap
// allocation the daemon makes over a few cycles is failed in turn (through the
// allocation-failure preload), and each must give message 5002 with its
// site's name, leak nothing, and end monitoring or carry on as that site is
// meant to, with the next cycle doing the skipped work. With the alert program
// and the metrics file on, their own containers' failures (counted where the
// C++ runtime is linked into the daemon) lose one alert or one cycle's file.
#include "cycle_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

constexpr const char *kIni = "[WAIT]\nLWAIT_TIME=1000\n[POLL]\nPOLL_EVENT=ON\n"
                             "[AERROR]\nAERROR_COUNT_HDD=1000\n";
// Drive 7 is a spare with a predictive failure: the health scan removes it.
// Drive 5 has event 10 when the run starts, gets 40 more in cycle 2 (read in
// two batches) and one in cycle 3; the event scan writes each to its history
// file exactly once.
constexpr uint32_t kFirstSeq = 10, kLastSeq = 51;
std::string scenario() {
    std::string s = "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
                    "drive c=0 id=5 state=online\ndrive c=0 id=6 state=online\n"
                    "drive c=0 id=7 state=spare pfail=1\n"
                    "ld c=0 n=0 raid=1 state=optimal members=5,6\n";
    for (uint32_t seq = kFirstSeq; seq <= kLastSeq; seq++) {
        if (seq > kFirstSeq)
            s += seq < kLastSeq ? "at cmd=evtseqinfo n=2 " : "at cmd=evtseqinfo n=3 ";
        s += "event c=0 seq=" + std::to_string(seq) + " time=" + std::to_string(800000000 + seq) +
             " code=267 dev=5\n";
    }
    return s;
}

// What a failure at each site does: whether monitoring ends with it.
const std::map<std::string, bool> kSites = {
    {"vMainProc", true},   // the sequence table before the first cycle
    {"vSmartChk", false},  // the drive list of one health scan
    {"iAErrorChk", false}, // one batch of the event scan
};

struct Outcome {
    bool failed = false;               // the allocation was reached and failed
    std::vector<std::string> failures; // texts of the 5002 lines
    std::vector<std::string> others;   // other Error lines naming error 12
    std::vector<std::string> allocLog;
    std::string registerText;
    std::map<std::string, int> historySeqs; // seq (hex) -> lines naming it
    bool exitedAlone = false;
    bool metricsWritten = false;
};

// Runs the daemon failing its n-th allocation (0: none) and lets it go on for
// `after` cycles once that allocation failed.
Outcome runFailing(const std::string &ini, unsigned long n, size_t after) {
    Outcome out;
    kt::Daemon d;
    EXPECT_TRUE(d.installDaemon() && d.installSimulator());
    std::string text = ini;
    for (size_t at; (at = text.find("@WORK@")) != std::string::npos;)
        text.replace(at, 6, d.workDir());
    EXPECT_TRUE(d.writeScenario(scenario()) && d.writeIni(text));
    kt::StartOptions o;
    const std::string allocLog = d.workPath("alloc.txt");
    o.env = {{"LD_PRELOAD", std::string(KESTRUN_SHIM_LIB) + ":" + KESTRUN_ALLOC_FAULT_LIB},
             {"KESTRUN_TEST_FAIL_ALLOC", std::to_string(n)},
             {"KESTRUN_TEST_ALLOC_LOG", allocLog}};
    EXPECT_TRUE(d.start(o));
    size_t from = 0;
    if (n > 0) {
        out.failed = d.waitWhileRunning(
            [&] { return kt::readText(allocLog).find("fail ") != std::string::npos; }, 10000);
        from = kt::pollCycles(d);
    }
    bool cycled = d.waitWhileRunning([&] { return kt::pollCycles(d) > from + after; }, 10000);
    out.exitedAlone = !cycled && !d.running();
    auto r = out.exitedAlone ? d.waitExit() : d.stop(SIGTERM);
    EXPECT_TRUE(r.exitedWith(0)) << r;
    for (const auto &l : d.logLines()) {
        if (l.text.rfind("<5002:", 0) == 0)
            out.failures.push_back(l.text);
        else if (l.text.find(":Error>") != std::string::npos &&
                 l.text.find("(12)") != std::string::npos)
            out.others.push_back(l.text);
    }
    out.allocLog = kt::readLines(allocLog);
    out.registerText = d.registerText();
    out.metricsWritten = !kt::readText(d.workPath("kestrun.prom")).empty();
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

struct Sweep {
    const char *name;
    const char *ini;
    size_t cycles; // counted in the run nothing fails; their allocations are swept
    bool addOns;   // alert program and metrics file: their failures are their own
};

const Sweep kSweeps[] = {
    {"daemon", kIni, 4, false},
    {"with alert program and metrics",
     "[NOTIFY]\nNOTIFY_PROGRAM=/bin/true\n[METRICS]\nMETRICS_FILE=@WORK@/kestrun.prom\n", 2, true},
};

class AllocFailure : public ::testing::TestWithParam<Sweep> {};

TEST_P(AllocFailure, EverySiteReportsLeaksNothingAndRecovers) {
    // valgrind takes over every malloc, the preload's too.
    if (!kt::wrapperWords().empty())
        GTEST_SKIP() << "not under a wrapper";
    const Sweep &sw = GetParam();
    const std::string ini = std::string(kIni) + sw.ini;
    // Nothing failed: how many allocations a run of a few cycles makes.
    Outcome base = runFailing(ini, 0, sw.cycles);
    ASSERT_THAT(base.failures, ::testing::IsEmpty());
    size_t total = countOf(base.allocLog, "alloc ");
    ASSERT_GE(total, 1 + sw.cycles) << "the allocation-failure preload counted nothing";
    EXPECT_THAT(base.allocLog, ::testing::Contains("live 0"));

    std::set<std::string> seen;
    for (unsigned long n = 1; n <= total; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        // Two more cycles after the failure: the first may be cut short by it.
        Outcome r = runFailing(ini, n, 2);
        ASSERT_TRUE(r.failed || r.exitedAlone) << "allocation never made";
        EXPECT_THAT(r.allocLog, ::testing::Contains("live 0")) << "a block was never freed";
        ASSERT_LE(r.failures.size(), 1u) << ::testing::PrintToString(r.failures);
        if (r.failures.empty()) {
            // Only the add-ons' own containers fail without 5002: the metrics
            // of that cycle is lost, or 6300 tells it; an alert run that
            // cannot be started is told by 6200.
            ASSERT_TRUE(sw.addOns) << "no 5002: " << ::testing::PrintToString(r.others);
            for (const auto &o : r.others)
                EXPECT_TRUE(o.rfind("<6300:", 0) == 0 || o.rfind("<6200:", 0) == 0) << o;
        } else {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(
                r.failures[0], m,
                std::regex(
                    R"(<5002:Error> Memory allocation failed\.\((\w+)\) Error Code \(12\))")))
                << r.failures[0];
            auto it = kSites.find(m[1]);
            ASSERT_NE(it, kSites.end()) << "a heap site this test does not know: " << m[1];
            seen.insert(it->first);
            EXPECT_EQ(r.exitedAlone, it->second) << it->first;
            if (it->second)
                continue;
        }
        // The skipped work is done by a later cycle: the spare is removed, every
        // event is in the history exactly once, and the metrics file is
        // written again.
        EXPECT_EQ(r.registerText, "0,7\n");
        std::map<std::string, int> once;
        for (uint32_t seq = kFirstSeq; seq <= kLastSeq; seq++) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%x", seq);
            once[hex] = 1;
        }
        EXPECT_EQ(r.historySeqs, once);
        EXPECT_TRUE(r.metricsWritten || !sw.addOns);
    }
    for (const auto &[site, ends] : kSites)
        EXPECT_TRUE(seen.count(site)) << site << " was never reached";
}

INSTANTIATE_TEST_SUITE_P(Sweeps, AllocFailure, ::testing::ValuesIn(kSweeps), [](const auto &info) {
    return std::string(info.param.addOns ? "AddOns" : "Daemon");
});

} // namespace
