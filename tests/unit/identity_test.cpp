// A drive's identity: its inquiry text as shown, when it is another drive, and
// the identity file's records (format, torn and foreign lines, take-back,
// rewrite past a planted link).
#include "isolate/register_identity.h"

#include "capture.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

DriveIdentity identity(unsigned long long sas, const char *drive) {
    DriveIdentity id{sas, 252, 3, ""};
    std::snprintf(id.drive, sizeof id.drive, "%s", drive);
    return id;
}

IdentityRecord record(int device, unsigned long long sas, const char *drive) {
    return IdentityRecord{0, device, identity(sas, drive), "SMART", 1700000000};
}

TEST(DriveIdentity, InquiryTextIsTrimmedAndPrintable) {
    struct Case {
        std::string bytes;
        const char *shown;
    } cases[] = {
        {std::string("VENDORX  MODEL-4000     0004 SN1") + std::string(60, ' '),
         "VENDORX MODEL-4000 0004 SN1"},
        {std::string("\0\0  VENDORX\0\0", 13), "VENDORX"},
        {std::string("A\0B\tC\x7f"
                     "D\xc3\xa9\"E\\F",
                     14),
         "A?B?C?D???E?F"},
        {std::string(96, '\0'), ""},
        {std::string(96, 'x'), nullptr}, // all 96 kept
    };
    for (const auto &c : cases) {
        char out[DRIVE_TEXT_SIZE];
        vDriveText(reinterpret_cast<const uint8_t *>(c.bytes.data()),
                   static_cast<int>(c.bytes.size()), out, sizeof out);
        EXPECT_EQ(std::string(out), c.shown != nullptr ? c.shown : c.bytes) << c.bytes;
    }
}

TEST(DriveIdentity, AnotherDriveOnlyWhereBothSidesTell) {
    struct Case {
        DriveIdentity recorded, now;
        bool another;
    } cases[] = {
        {identity(1, "A"), identity(1, "A"), false},
        {identity(1, "A"), identity(2, "A"), true},
        {identity(1, "A"), identity(1, "B"), true},
        {identity(0, "A"), identity(2, "A"), false}, // no address recorded
        {identity(1, ""), identity(1, "B"), false},  // no text recorded
        {identity(1, "A"), identity(0, ""), false},  // the drive names nothing
        {identity(0, ""), identity(2, "B"), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(bAnotherDrive(c.recorded, c.now), c.another)
            << c.recorded.sasAddress << c.recorded.drive << "/" << c.now.sasAddress << c.now.drive;
}

TEST(IdentityFile, OnlyWholeWellFormedRecordsCountAndTheLastWins) {
    kt::TempDir dir;
    const std::string path = dir.file("PdState_Flag.dat.identity");
    char line[512];
    ASSERT_GT(iIdentityFormat(record(5, 0x500a0b1c2d3e4f50ull, "VENDORX M 1"), line, sizeof line),
              0);
    EXPECT_STREQ(line, "0\t5\t0x500a0b1c2d3e4f50\t252\t3\tSMART\t1700000000\tVENDORX M 1\n");
    ASSERT_TRUE(dir.write("PdState_Flag.dat.identity",
                          std::string(line) +
                              "0\t6\t0x0000000000000001\t252\t3\tSMART\t1\tfield\textra\n"
                              "0\t7\t0x1\t252\t3\tSMART\t1\tshort address\n"
                              "0\t70000\t0x0000000000000001\t252\t3\tSMART\t1\tbig id\n"
                              "x\t8\t0x0000000000000001\t252\t3\tSMART\t1\tnot a number\n"
                              "0\t8\t0x0000000000000001\t252\t3\tSMART\t1\tquote\"\n"
                              "0\t5\t0x0000000000000002\t1\t2\tMEDIUM\t2\tnewer\n"
                              "0\t9\t0x0000000000000003\t1\t2\tSMART\t3\ttorn"));
    std::vector<IdentityRecord> records;
    ASSERT_EQ(iIdentityLoad(path.c_str(), &records), 0);
    ASSERT_EQ(records.size(), 2u);
    const IdentityRecord *r = pIdentityFind(records, 0, 5 + 65536);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->id.drive, "newer");
    EXPECT_EQ(pIdentityFind(records, 0, 9), nullptr);
    EXPECT_EQ(pIdentityFind(records, 1, 5), nullptr);

    // An append after the torn record starts a line of its own, and the torn
    // one never becomes a record; taking the append back restores the file,
    // but not once the file has changed since.
    long long before = 0, after = 0;
    ASSERT_EQ(iIdentityAppend(path.c_str(), record(6, 3, "again"), &before, &after), 0);
    ASSERT_EQ(iIdentityLoad(path.c_str(), &records), 0);
    ASSERT_EQ(records.size(), 3u) << kt::readText(path);
    EXPECT_EQ(pIdentityFind(records, 0, 9), nullptr);
    EXPECT_STREQ(pIdentityFind(records, 0, 6)->id.drive, "again");
    EXPECT_EQ(iIdentityCutBack(path.c_str(), before, after + 1), 0);
    EXPECT_EQ(kt::readText(path).size(), static_cast<size_t>(after));
    EXPECT_EQ(iIdentityCutBack(path.c_str(), before, after), 0);
    EXPECT_EQ(kt::readText(path).size(), static_cast<size_t>(before));

    // The rewrite never writes through a planted link.
    ASSERT_TRUE(dir.write("victim", "keep"));
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), (path + ".new").c_str()), 0);
    ASSERT_EQ(iIdentityRewrite(path.c_str(), {record(4, 4, "only")}), 0);
    EXPECT_EQ(kt::readText(dir.file("victim")), "keep");
    EXPECT_EQ(kt::readText(path), "0\t4\t0x0000000000000004\t252\t3\tSMART\t1700000000\tonly\n");
    EXPECT_EQ(iIdentityLoad(dir.file("none").c_str(), &records), ENOENT);
}

} // namespace
