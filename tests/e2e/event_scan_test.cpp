// The event-log scan of the running daemon against the simulator's event log:
// which events each cycle reads, which it accepts, writes and counts, and when
// a drive is sent to removal.
#include "event_support.h"
#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// With the health scan off, every pdinfo call for a drive comes from counting
// one of its events or from removing it.
constexpr const char *kIni = kt::kEventIni;
constexpr const char *kCountMode = "[THRESHOLD]\nTHRESHOLD_MODE=COUNT\n";
constexpr long long kT0 = 800000000; // an ordinary event time stamp
// Controller 0: drives 5, 6, 7 in an optimal RAID 5.
constexpr const char *kRaid5 =
    "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
    "drive c=0 id=5 state=online\ndrive c=0 id=6 state=online\ndrive c=0 id=7 state=online\n"
    "ld c=0 n=0 raid=5 state=optimal members=5,6,7\n";

std::string event(int c, unsigned long seq, int code, int dev, long long time = kT0,
                  const std::string &more = "") {
    char buf[160];
    std::snprintf(buf, sizeof buf, "event c=%d seq=%lu time=%lld code=%d dev=%d", c, seq, time,
                  code, dev);
    return buf + (more.empty() ? std::string() : " " + more) + "\n";
}

std::string at(int n, const std::string &line) {
    return kt::atRead(n, line);
}

// `count` events from seq on, each applied before cycle n.
std::string burst(int n, unsigned long seq, int count, int code, int dev, long long time = kT0) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += at(n, event(0, seq + i, code, dev, time));
    return s;
}

using kt::waitReads;

// The calls of one run, with the cycle each was made in (one controller: the
// number of sequence-information reads up to the call).
struct Calls {
    std::vector<kt::TraceLine> all;
    explicit Calls(const kt::Daemon &d) : all(d.calls()) {}
    int cycleOf(const kt::TraceLine &t) const {
        int n = 0;
        for (const auto &c : all)
            n += c.call <= t.call && c.kind == "evtseqinfo";
        return n;
    }
    // Calls of cmd for device dev (-1: any) made in the given cycle (0: any).
    std::vector<kt::TraceLine> of(const std::string &cmd, long long dev = -1, int cycle = 0) const {
        std::vector<kt::TraceLine> out;
        for (const auto &c : all)
            if (c.kind == cmd && (dev < 0 || c.num("dev") == dev) &&
                (cycle == 0 || cycleOf(c) == cycle))
                out.push_back(c);
        return out;
    }
    size_t count(const std::string &cmd, long long dev = -1, int cycle = 0) const {
        return of(cmd, dev, cycle).size();
    }
};

// The lines of a drive's history file of this run (none if there is no file).
std::vector<std::string> history(const kt::Daemon &d, int c, int dev) {
    const std::string prefix = "AERROR_Cnt" + std::to_string(c) + "_Id" + std::to_string(dev) + "_";
    for (const auto &name : d.listModuleDir())
        if (name.rfind(prefix, 0) == 0)
            return kt::readLines(d.modulePath(name));
    return {};
}

// The sequence numbers written in history lines ("date time hex text").
std::vector<unsigned long> seqs(const std::vector<std::string> &lines) {
    std::vector<unsigned long> out;
    for (const auto &l : lines) {
        std::istringstream in(l);
        std::string date, time, hex;
        in >> date >> time >> hex;
        out.push_back(std::stoul(hex, nullptr, 16));
    }
    return out;
}

std::vector<unsigned long> range(unsigned long from, unsigned long to) {
    std::vector<unsigned long> v;
    for (unsigned long s = from; s <= to; ++s)
        v.push_back(s);
    return v;
}

std::string removed(int pd) {
    return "<4500:Error> Command Timeout or Check Condition event receive. PD removed. (PD:" +
           std::to_string(pd) + ")";
}

// The drive-removal and error messages of the log, in order.
std::vector<std::string> errors(const kt::Daemon &d) {
    std::vector<std::string> out;
    for (const auto &t : kt::texts(d.logLines()))
        if (t.rfind("<5", 0) == 0 || t.rfind("<4", 0) == 0)
            out.push_back(t);
    return out;
}

TEST(EventScan, FirstCycleReadsTheNewestEventThenEachCycleReadsWhatIsNewInBatchesOf32) {
    kt::Daemon d;
    std::string s = "controller 0\ndrive c=0 id=3\n" + event(0, 650, 267, 3) +
                    event(0, 700, 267, 3) + burst(3, 701, 70, 267, 3);
    kt::startOn(d, s, kIni);
    waitReads(d, 5);
    kt::stopClean(d);

    Calls calls(d);
    std::vector<std::tuple<long long, long long, long long, int>> got; // start, len, status, cycle
    for (const auto &c : calls.of("evtlist"))
        got.emplace_back(c.num("start"), c.num("len"), c.num("status"), calls.cycleOf(c));
    // len = 8 + 256 n for a batch of n events.
    EXPECT_THAT(got,
                ElementsAre(std::make_tuple(700, 264, 0, 1), std::make_tuple(701, 8200, 0, 3),
                            std::make_tuple(733, 8200, 0, 3), std::make_tuple(765, 1544, 0, 3)));
    // Every event of the batches was examined; the one older than the start never.
    EXPECT_THAT(seqs(history(d, 0, 3)), ElementsAreArray(range(700, 770)));
    EXPECT_THAT(errors(d), IsEmpty());
}

TEST(EventScan, OnlyRealEventsOfTheFourCodesAreWrittenAndOnlyThreeCodesCounted) {
    struct {
        unsigned long seq;
        int code;
        long long time;
        const char *more;
    } events[] = {
        {11, 267, kT0, ""},                      // written, counted
        {12, 267, 0xFF000000LL, ""},             // not a real time stamp
        {13, 268, 0xFEFFFFFFLL, ""},             // written, counted
        {14, 111, kT0, ""},                      // other codes are ignored
        {15, 113, kT0, "key=3 asc=0x11 ascq=0"}, // written, counted
        {16, 114, kT0, ""},
        {17, 266, kT0, ""},
        {18, 269, kT0, ""},
        {19, 0, kT0, ""},
        {20, 112, kT0, ""},          // written, resets instead of counting
        {21, 267, 0xFFFFFFFFLL, ""}, // not a real time stamp
    };
    std::string s = "controller 0\ndrive c=0 id=3\n" + event(0, 10, 0, 3);
    for (const auto &e : events)
        s += at(2, event(0, e.seq, e.code, 3, e.time, e.more));
    kt::Daemon d;
    kt::startOn(d, s, kIni);
    waitReads(d, 3);
    kt::stopClean(d);

    EXPECT_THAT(seqs(history(d, 0, 3)), ElementsAre(11, 13, 15, 20));
    EXPECT_EQ(Calls(d).count("pdinfo", 3), 3u) << "one drive read per counted event";
    EXPECT_THAT(errors(d), IsEmpty());
}

struct SenseCase {
    const char *label;
    const char *settings;
    bool keep0524, keep0311;
};

class SenseFilter : public ::testing::TestWithParam<SenseCase> {};

TEST_P(SenseFilter, CheckConditionsWithListedSenseCodesAreLeftOut) {
    const SenseCase &p = GetParam();
    kt::Daemon d;
    std::string s = "controller 0\ndrive c=0 id=4\ndrive c=0 id=5\ndrive c=0 id=6\n" +
                    event(0, 10, 0, 3) +
                    at(2, event(0, 11, 113, 4, kT0, "key=0x05 asc=0x24 ascq=0")) +
                    at(2, event(0, 12, 113, 5, kT0, "key=0x03 asc=0x11 ascq=0")) +
                    // The key byte is compared whole: flag bits make it another key.
                    at(2, event(0, 13, 113, 6, kT0, "key=0x85 asc=0x24 ascq=0"));
    kt::startOn(d, s, std::string(kIni) + "[AERROR]\n" + p.settings);
    waitReads(d, 3);
    kt::stopClean(d);

    Calls calls(d);
    EXPECT_EQ(history(d, 0, 4).size(), p.keep0524 ? 1u : 0u);
    EXPECT_EQ(calls.count("pdinfo", 4), p.keep0524 ? 1u : 0u);
    EXPECT_EQ(history(d, 0, 5).size(), p.keep0311 ? 1u : 0u);
    EXPECT_EQ(calls.count("pdinfo", 5), p.keep0311 ? 1u : 0u);
    EXPECT_EQ(history(d, 0, 6).size(), 1u);
    EXPECT_EQ(calls.count("pdinfo", 6), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EventScan, SenseFilter,
    ::testing::Values(
        SenseCase{"Entry05", "AERROR_SENSE_KEY1=05\n", false, true},
        SenseCase{"All", "AERROR_SENSE_KEY1=ALL\n", true, true},
        SenseCase{"EmptyEntryAhead",
                  "AERROR_SENSE_COUNT=2\nAERROR_SENSE_KEY1=\nAERROR_SENSE_KEY2=05\n", true, true},
        SenseCase{"SecondEntry",
                  "AERROR_SENSE_COUNT=2\nAERROR_SENSE_KEY1=0311\nAERROR_SENSE_KEY2=0524\n", false,
                  false}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(EventScan, ResetEventStartsTheCountAgain) {
    kt::Daemon d;
    std::string s = std::string(kRaid5) + event(0, 10, 0, 5) + burst(2, 11, 19, 267, 5) +
                    at(2, event(0, 30, 112, 5)) + burst(2, 31, 19, 267, 5) +
                    burst(3, 50, 1, 267, 5);
    kt::startOn(d, s, std::string(kIni) + kCountMode);
    waitReads(d, 4);
    kt::stopClean(d);

    Calls calls(d);
    EXPECT_EQ(calls.count("pdinfo", 5, 2), 38u) << "the reset event reads no drive";
    EXPECT_EQ(calls.count("vdno", 5, 2), 0u) << "38 events, but never 20 since the reset";
    auto set = calls.of("setstate", 5);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(calls.cycleOf(set[0]), 3);
    EXPECT_EQ(set[0].num("arg"), 17);
    EXPECT_THAT(seqs(history(d, 0, 5)), ElementsAreArray(range(11, 50)));
}

TEST(EventScan, CountModeSendsTheDriveToRemovalAtTheThresholdAndForEveryLaterEvent) {
    kt::Daemon d;
    std::string s =
        "controller 0\n"
        "drive c=0 id=5 state=online\ndrive c=0 id=6 state=online\ndrive c=0 id=7 state=online\n"
        "ld c=0 n=0 raid=5 state=degraded members=5,6,7\n"
        "drive c=0 id=9\nspare c=0 id=9 role=dedicated groups=0,2\n"
        "drive c=0 id=10 media=1 state=online\ndrive c=0 id=11 media=1 state=online\n"
        "ld c=0 n=1 raid=1 state=optimal members=10,11\n" +
        event(0, 10, 0, 5) + burst(2, 11, 19, 267, 5) + // 19: below the threshold
        burst(2, 30, 20, 268, 9) +                      // spare: removed at the 20th
        burst(2, 50, 20, 267, 10) +                     // solid-state drive: threshold 30
        burst(3, 70, 1, 267, 5) +                       // 20th: removal finds no redundant LD
        burst(3, 71, 9, 267, 10) +                      // 29 for the solid-state drive
        at(4, "ld c=0 n=0 state=optimal\n") + burst(4, 80, 1, 267, 5) + // 21st removes it
        burst(4, 81, 1, 267, 10) +                                      // 30th
        burst(5, 82, 1, 267, 5);                                        // 22nd: already failed
    kt::startOn(d, s, std::string(kIni) + kCountMode);
    waitReads(d, 6);
    kt::stopClean(d);

    Calls calls(d);
    // Removal of an online drive reads its LD list: one per call of removal.
    EXPECT_EQ(calls.count("vdno", 5, 2), 0u);
    EXPECT_EQ(calls.count("vdno", 5, 3), 1u);
    EXPECT_EQ(calls.count("setstate", 5, 3), 0u) << "its RAID 5 was degraded";
    auto set = calls.of("setstate", 5);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(calls.cycleOf(set[0]), 4);
    EXPECT_EQ(set[0].num("arg"), 17);
    // Cycle 5: one read to count, one by removal, which finds the drive failed.
    EXPECT_EQ(calls.count("pdinfo", 5, 5), 2u);
    EXPECT_EQ(calls.count("vdno", 5, 5), 0u);

    EXPECT_EQ(calls.count("vdno", 10, 3), 0u);
    auto ssd = calls.of("setstate", 10);
    ASSERT_EQ(ssd.size(), 1u);
    EXPECT_EQ(calls.cycleOf(ssd[0]), 4);

    auto spare = calls.of("removespare", 9);
    ASSERT_EQ(spare.size(), 1u);
    EXPECT_EQ(calls.cycleOf(spare[0]), 2);
    const std::string t4700 =
        "<4700:Error> Command Timeout or Check Condition event received from Dedicated "
        "HotSpare.(PD:9 DG:0,2) Dedicated HotSpare has been removed.";
    EXPECT_THAT(errors(d), ElementsAre(t4700, removed(5), removed(10)));
    const auto recs = d.syslog();
    auto rec = kt::findSyslog(recs, "<4700:");
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->text, t4700);
    EXPECT_EQ(rec->priority, 3);
    EXPECT_THAT(d.registerLines(), ElementsAre("0,9", "0,5", "0,10"));
}

TEST(EventScan, TimeModeRemovesWhenTheNewestThresholdEventsLieWithinTheWindow) {
    // Drive 5: 20 events over exactly 300 s. Drive 6: 20 events over 301 s,
    // then a 21st that is 300 s after the 2nd.
    std::string s = "controller 0\n";
    for (int id : {5, 15, 6, 16})
        s += "drive c=0 id=" + std::to_string(id) + " state=online\n";
    s += "ld c=0 n=0 raid=1 members=5,15\nld c=0 n=1 raid=1 members=6,16\n" + event(0, 10, 0, 5);
    unsigned long seq = 11;
    for (int i = 0; i < 19; ++i)
        s += at(2, event(0, seq++, 267, 5, kT0 + 15 * i));
    s += at(3, event(0, 50, 267, 5, kT0 + 300));
    s += at(2, event(0, seq++, 267, 6, kT0));
    for (int i = 0; i < 18; ++i)
        s += at(2, event(0, seq++, 267, 6, kT0 + 10 + 15 * i));
    s += at(2, event(0, seq++, 267, 6, kT0 + 301));
    s += at(3, event(0, 51, 267, 6, kT0 + 310));

    kt::Daemon d;
    kt::startOn(d, s, std::string(kIni) + "[THRESHOLD]\nTHRESHOLD_MODE=TIME\nTHRESHOLD_TIME=5\n");
    waitReads(d, 4);
    kt::stopClean(d);

    Calls calls(d);
    for (int dev : {5, 6}) {
        SCOPED_TRACE(dev);
        EXPECT_EQ(calls.count("vdno", dev, 2), 0u);
        auto set = calls.of("setstate", dev);
        ASSERT_EQ(set.size(), 1u);
        EXPECT_EQ(calls.cycleOf(set[0]), 3);
    }
    EXPECT_THAT(d.registerLines(), ElementsAre("0,5", "0,6"));
}

TEST(EventScan, FailedEventListReadGivesUpItsBatch) {
    std::string s = "controller 0\ndrive c=0 id=3\n" + event(0, 100, 0, 3) +
                    at(3, "fault cmd=evtlist status=7 times=1\n") + burst(3, 101, 10, 267, 3) +
                    burst(4, 111, 2, 267, 3) +
                    // Nothing in 113..144: the controller answers "no such event".
                    at(5, "controller 0 newest=160\n") + burst(5, 150, 11, 267, 3);
    kt::Daemon d;
    kt::startOn(d, s, kIni);
    waitReads(d, 7);
    kt::stopClean(d);

    Calls calls(d);
    std::vector<std::tuple<long long, long long, long long, int>> got;
    for (const auto &c : calls.of("evtlist"))
        got.emplace_back(c.num("start"), c.num("len"), c.num("status"), calls.cycleOf(c));
    EXPECT_THAT(got, ElementsAre(std::make_tuple(100, 264, 0, 1), std::make_tuple(101, 2568, 7, 3),
                                 std::make_tuple(111, 520, 0, 4), std::make_tuple(113, 8200, 35, 5),
                                 std::make_tuple(145, 4104, 0, 6)));
    auto want = range(150, 160);
    want.insert(want.begin(), {111, 112});
    EXPECT_THAT(seqs(history(d, 0, 3)), ElementsAreArray(want));
    EXPECT_THAT(
        errors(d),
        ElementsAre("<5003:Error> Unable to read event log. (iGetEventSquenceInfo) Error Code(7)"));
}

TEST(EventScan, FailedSequenceReadEndsTheScanForEveryControllerThatCycle) {
    std::string s =
        "controller 0\ncontroller 1\ndrive c=1 id=3\n" + event(0, 10, 0, 3) + event(1, 20, 0, 3) +
        // Read 3 is controller 0's in cycle 2; both attempts fail.
        at(3, "fault cmd=evtseqinfo c=0 status=7 times=2\n") + at(3, event(1, 21, 267, 3));
    kt::Daemon d;
    kt::startOn(d, s, kIni);
    waitReads(d, 7);
    kt::stopClean(d);

    std::vector<std::string> seen; // "ctrl:status" of the reads, evtlist as "L<ctrl>"
    for (const auto &c : d.calls()) {
        if (c.kind == "evtseqinfo")
            seen.push_back(std::to_string(c.num("ctrl")) + ":" + std::to_string(c.num("status")));
        else if (c.kind == "evtlist")
            seen.push_back("L" + std::to_string(c.num("ctrl")));
        if (seen.size() == 9)
            break;
    }
    EXPECT_THAT(seen, ElementsAre("0:0", "L0", "1:0", "L1", "0:7", "0:7", "0:0", "1:0", "L1"));
    EXPECT_THAT(seqs(history(d, 1, 3)), ElementsAre(21));
    EXPECT_THAT(
        errors(d),
        ElementsAre("<5004:Error> Event log open failed. (iGetEventSquenceInfo) Error Code(7)"));
}

TEST(EventScan, FailedDriveReadInTheCountStepKeepsTheEventCounted) {
    std::string s = std::string(kRaid5) + event(0, 10, 0, 5) +
                    at(2, "fault cmd=pdinfo c=0 id=5 status=5 times=2\n") +
                    burst(2, 11, 1, 267, 5) + burst(3, 12, 1, 267, 5);
    kt::Daemon d;
    kt::startOn(d, s, std::string(kIni) + kCountMode + "[AERROR]\nAERROR_COUNT_HDD=2\n");
    waitReads(d, 4);
    kt::stopClean(d);

    Calls calls(d);
    auto set = calls.of("setstate", 5);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(calls.cycleOf(set[0]), 3) << "the second event reaches the threshold of 2";
    EXPECT_THAT(seqs(history(d, 0, 5)), ElementsAre(11, 12));
    EXPECT_THAT(
        errors(d),
        ElementsAre(
            "<5007:Error> Unable to get physical drive information.(iHddChk) Error Code (5)",
            removed(5)));
}

TEST(EventScan, EventsWithoutACounterAreOnlyWrittenAndAnOverlongReplyIsClipped) {
    // Seventeen controllers: the tables hold sixteen; 0xFFFF names no drive.
    // The reply of controller 0 claims far more records than the batch has
    // room for.
    std::string s;
    for (int c = 0; c < 17; ++c)
        s += "controller " + std::to_string(c) + "\n" + event(c, 10, 0, 3);
    s += "drive c=0 id=3\ndrive c=0 id=300\ndrive c=16 id=5\n"
         "override field=eventcount c=0 value=1000\n";
    s += at(18, event(0, 11, 267, 65535)) + at(18, event(0, 12, 268, 300)) +
         at(18, event(0, 13, 267, 3)) + at(18, event(16, 11, 267, 5)) +
         at(18, event(16, 12, 267, 5));
    kt::Daemon d;
    kt::startOn(d, s, kIni);
    waitReads(d, 35);
    kt::stopClean(d);

    EXPECT_THAT(seqs(history(d, 0, 65535)), ElementsAre(11));
    EXPECT_THAT(seqs(history(d, 0, 300)), ElementsAre(12));
    EXPECT_THAT(seqs(history(d, 0, 3)), ElementsAre(13));
    EXPECT_THAT(seqs(history(d, 16, 5)), ElementsAre(11, 12));
    Calls calls(d);
    EXPECT_EQ(calls.count("pdinfo"), 2u) << "only drives 3 and 300 of controller 0 are counted";
    EXPECT_EQ(calls.count("pdinfo", 300), 1u);
    EXPECT_THAT(errors(d), IsEmpty());
    std::vector<std::string> unwatched; // none for 0xFFFF, one for the drive on controller 16
    for (const auto &t : kt::texts(d.logLines()))
        if (t.rfind("<6600:", 0) == 0)
            unwatched.push_back(t);
    EXPECT_THAT(unwatched,
                ElementsAre("<6600:Warning> PD not watched: the detection tables hold the first 16 "
                            "controllers. (Controller:16 PD:5 Mode:AERROR)"));
}

TEST(EventScan, OneFailingDriveWithDefaultSettingsIsTakenOutOfService) {
    // Time mode, threshold 20 within THRESHOLD_TIME's start value of 5 s.
    std::string s =
        "controller 0 model=\"MegaRAID SAS MODEL-4000\"\n"
        "drive c=0 id=4 state=online\ndrive c=0 id=5 state=online\ndrive c=0 id=6 state=online\n"
        "ld c=0 n=0 raid=5 state=optimal members=4,5,6\n" +
        event(0, 500, 0, 4);
    for (int i = 0; i < 20; ++i)
        s += at(2, event(0, 501 + i, 267, 5, kT0 + (i == 19 ? 5 : i / 4),
                         "desc=\"Command timeout on PD 05\""));
    kt::Daemon d;
    kt::startOn(d, s, "[WAIT]\nLWAIT_TIME=1000\n");
    waitReads(d, 3);
    kt::stopClean(d);

    const std::string text = removed(5);
    auto set = d.calls("setstate");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].num("dev"), 5);
    EXPECT_EQ(set[0].num("arg"), 17);
    EXPECT_EQ(set[0].num("status"), 0);
    EXPECT_THAT(d.registerLines(), ElementsAre("0,5"));
    EXPECT_THAT(errors(d), ElementsAre(text));
    const auto recs = d.syslog();
    auto rec = kt::findSyslog(recs, "<4500:");
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->text, text);
    EXPECT_EQ(rec->priority, 3);
    EXPECT_THAT(d.sleepLog(), ::testing::Contains("sleep 5")) << "the pause before the recheck";
    EXPECT_THAT(seqs(history(d, 0, 5)), ElementsAreArray(range(501, 520)));
}

} // namespace

// Sequence numbers run on through 0 after 0xFFFFFFFF. Controller 0 reads a
// batch whose range wraps; controller 1 ends a cycle exactly at 0xFFFFFFFF,
// so its next position is 0, which must not pass for "nothing read yet".
// Every event is written and counted once, none lost, none read again.
TEST(EventScan, SequenceNumbersWrapThroughZeroWithoutLosingOrRereadingEvents) {
    constexpr unsigned long kTop = 0xFFFFFFF0;
    std::string s = "controller 0 newest=" + std::to_string(kTop) + "\ndrive c=0 id=5\n" +
                    "controller 1 newest=" + std::to_string(kTop) + "\ndrive c=1 id=6\n";
    for (unsigned long q = kTop; q <= 0xFFFFFFFF; ++q)
        s += event(0, q, 267, 5) + event(1, q, 267, 6);
    for (unsigned long q = 0; q <= 0x24; ++q)
        s += event(0, q, 267, 5) + event(1, q, 267, 6);
    // Two sequence reads per cycle: controller 0's is read 2k-1 of cycle k.
    s += at(3, "controller 0 newest=0xFFFFFFFA\n") + at(3, "controller 1 newest=0xFFFFFFFF\n") +
         at(5, "controller 0 newest=3\n") + at(7, "controller 1 newest=0x24\n");
    kt::Daemon d;
    kt::startOn(d, s, std::string(kIni) + kCountMode + "[AERROR]\nAERROR_COUNT_HDD=100000\n");
    waitReads(d, 11); // cycles 1 to 5 complete
    kt::stopClean(d);

    auto top = range(kTop, 0xFFFFFFFF);
    auto c0 = top, c1 = top;
    for (unsigned long q : range(0, 3))
        c0.push_back(q);
    for (unsigned long q : range(0, 0x24))
        c1.push_back(q);
    EXPECT_THAT(seqs(history(d, 0, 5)), ElementsAreArray(c0));
    EXPECT_THAT(seqs(history(d, 1, 6)), ElementsAreArray(c1));
    size_t counted[2] = {0, 0}; // one drive read per counted event
    for (const auto &c : Calls(d).of("pdinfo"))
        counted[c.num("ctrl") == 1]++;
    EXPECT_EQ(c0.size(), counted[0]);
    EXPECT_EQ(c1.size(), counted[1]);
    EXPECT_THAT(errors(d), IsEmpty());
}

namespace {

// A backlog beyond what one cycle reads (8192 events) is cut to its newest
// part with warning 6020, also when the controller answers every empty range
// with success: a newest number jumping by almost 2^31 costs one cycle 256
// event-list calls, not 67 million. Within the bound every event is read.
TEST(EventScan, OneCycleReadsAtMostTheNewest8192Events) {
    const struct {
        const char *name;
        unsigned long jump; // newest after cycle 1 (1000) grows by this
        size_t calls;       // event-list calls of cycle 2
        const char *warning;
    } rows[] = {
        {"WithinTheBound", 8192, 256, nullptr},
        {"OneBeyond", 8193, 256,
         "<6020:Warning> Event log backlog too long. (No.0) 1 events skipped (sequence 1001 to "
         "1001); the newest 8192 are read."},
        {"JumpNear2To31", 0x7FFFFFF0, 256,
         "<6020:Warning> Event log backlog too long. (No.0) 2147475440 events skipped (sequence "
         "1001 to 2147476440); the newest 8192 are read."},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const unsigned long newest = 1000 + row.jump;
        // The event just before the newest 8192 is read only within the bound.
        std::string s = "controller 0 newest=1000 empty=ok\ndrive c=0 id=3\n" +
                        event(0, 1000, 267, 3) + event(0, newest - 8191, 267, 3) +
                        event(0, newest, 267, 3) +
                        (row.warning != nullptr ? event(0, newest - 8192, 267, 3) : "") +
                        at(2, "controller 0 newest=" + std::to_string(newest) + "\n");
        kt::Daemon d;
        kt::startOn(d, s, std::string(kIni) + kCountMode + "[AERROR]\nAERROR_COUNT_HDD=100\n");
        waitReads(d, 4);
        kt::stopClean(d);
        Calls calls(d);
        EXPECT_EQ(calls.count("evtlist", -1, 2), row.calls);
        EXPECT_EQ(calls.count("evtlist", -1, 3), 0u) << "the position reached the newest";
        std::vector<unsigned long> read = {1000, newest - 8191, newest};
        EXPECT_THAT(seqs(history(d, 0, 3)), ElementsAreArray(read));
        const auto lines = d.logLines();
        const auto *w = kt::findLog(lines, "<6020:");
        EXPECT_EQ(w != nullptr ? w->text : "", row.warning != nullptr ? row.warning : "");
    }
}

// A stop is honoured before every batch, and the watchdog is pinged around
// every event-list call: with each call held 30 ms, a jump of almost 2^31
// over empty ranges ends within a call or two of SIGTERM, and no call goes
// without a ping.
TEST(EventScan, StopBetweenBatchesAndPingAroundEachEventListCall) {
    std::string s = "controller 0 newest=1000 empty=ok\ndrive c=0 id=3\n" +
                    event(0, 1000, 267, 3) + "hold cmd=evtlist ms=30\n" +
                    at(2, "controller 0 newest=" + std::to_string(1000ul + 0x7FFFFFF0) + "\n");
    kt::Daemon d;
    kt::NotifyListener l(d.workPath("notify.sock"));
    ASSERT_TRUE(l.ok());
    kt::StartOptions o = l.options();
    o.env.emplace_back("WATCHDOG_USEC", "40000");
    kt::startOn(d, s, kIni, o);
    ASSERT_TRUE(d.waitForTrace(std::regex("^[0-9]+ evtlist "), 6, 10000));
    const size_t before = d.calls("evtlist").size();
    l.drain(d); // after the count: every call counted has had its ping
    const size_t pingsBefore = l.count("WATCHDOG=1");
    auto r = d.stop(SIGTERM, 2000);
    ASSERT_TRUE(r.exitedWith(0)) << r;
    const size_t after = d.calls("evtlist").size();
    EXPECT_LE(after - before, 2u) << "the call in progress, and one begun meanwhile";
    EXPECT_GE(pingsBefore, before) << "a ping for every held event-list call";
}

} // namespace

