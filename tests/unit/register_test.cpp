// Appending to the removed-drive register: one line per drive, whichever form
// its device id arrives in, and a register that cannot be opened.
#include "config/settings.h"
#include "process/process.h"
#include "isolate/register.h"

#include "capture.h"
#include "fs_flags.h"
#include "shim.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

class RegisterAppend : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("KESTRUN_TEST_SYSLOG", dir.file("syslog.txt"));
        std::snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.path().c_str());
        g_iPreServLogSwitch = 1;
        g_iAppLogSwitch = 1;
        kestrun_shim_reset();
    }
    std::string registerText() const {
        return kt::readText(dir.file("PdState_Flag.dat"));
    }

    kt::TempDir dir;
    kt::ScopedEnv env;
};

TEST_F(RegisterAppend, EachDriveIsListedOnce) {
    // Device 50 before 5: neither line may pass for the other.
    EXPECT_EQ(iHSPFileMake(0, 50), 1);
    EXPECT_EQ(iHSPFileMake(0, 5), 1);
    EXPECT_EQ(iHSPFileMake(0, 5), 1);
    EXPECT_EQ(iHSPFileMake(0, 50), 1);
    EXPECT_EQ(iHSPFileMake(1, 5), 1);
    // Id 40000 is written as its signed 16-bit value; every form of it is the same drive.
    EXPECT_EQ(iHSPFileMake(0, 40000), 1);
    EXPECT_EQ(iHSPFileMake(0, -25536), 1);
    EXPECT_EQ(iHSPFileMake(0, 40000 + 65536), 1);
    EXPECT_EQ(registerText(), "0,50\n0,5\n1,5\n0,-25536\n");
    EXPECT_TRUE(kt::readLogLines(dir.file("PredictiveFailure.log")).empty());
}

TEST_F(RegisterAppend, CrLfLineIsNotTheSameDrive) {
    ASSERT_TRUE(dir.write("PdState_Flag.dat", "0,7\r\n"));
    EXPECT_EQ(iHSPFileMake(0, 7), 1);
    EXPECT_EQ(registerText(), "0,7\r\n0,7\n");
}

// A directory or a FIFO in the register's place is reported, never waited on.
TEST_F(RegisterAppend, UnopenableRegisterIsReportedOnlyInTheLog) {
    const std::string reg = dir.file("PdState_Flag.dat");
    struct Case {
        bool fifo;
        const char *message;
    } cases[] = {
        {false, "<5009:Error> PdState_Flag.dat File open failed.(iHSPFileMake) Error Code (21)"},
        {true, "<5009:Error> PdState_Flag.dat File open failed.(iHSPFileMake) Error Code (22)"},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(reg);
        std::filesystem::remove(dir.file("PredictiveFailure.log"));
        ASSERT_EQ(c.fifo ? mkfifo(reg.c_str(), 0600) : mkdir(reg.c_str(), 0755), 0);
        EXPECT_EQ(iHSPFileMake(0, 5), 0);
        auto lines = kt::readLogLines(dir.file("PredictiveFailure.log"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, c.message);
        EXPECT_TRUE(kt::readSyslogRecords(dir.file("syslog.txt")).empty());
    }
}

// Taking a registration back restores exactly what was there, and leaves a
// file that changed since alone.
TEST_F(RegisterAppend, TakeBackUndoesExactlyItsOwnAppend) {
    struct Case {
        const char *before; // nullptr: no register
        const char *between;
        const char *after; // nullptr: no register
    } cases[] = {
        {nullptr, "", nullptr},
        {"0,8", "", "0,8"},
        {"0,5\n", "", "0,5\n"},
        {"", "", ""},
        {"1,1\n", "1,2\n", "1,1\n0,5\n1,2\n"},
    };
    const std::string reg = dir.file("PdState_Flag.dat");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before != nullptr ? c.before : "no register");
        std::filesystem::remove(reg);
        if (c.before != nullptr) {
            ASSERT_TRUE(dir.write("PdState_Flag.dat", c.before));
        }
        RegisterMark mark;
        EXPECT_EQ(iRegisterBeforeChange(0, 5, &mark), 1);
        if (c.between[0] != '\0') {
            ASSERT_TRUE(dir.write("PdState_Flag.dat", registerText() + c.between));
        }
        vRegisterTakeBack(mark);
        EXPECT_EQ(std::filesystem::exists(reg), c.after != nullptr);
        EXPECT_EQ(registerText(), c.after != nullptr ? c.after : "");
    }
}

// A line names a drive with two numeric fields, the controller within int.
TEST_F(RegisterAppend, OnlyLinesNamingADriveCount) {
    ASSERT_TRUE(dir.write("PdState_Flag.dat",
                          "0,5\n\n7\n0,x\nx,1\n99999999999,3\n1,2\r\n,,0,,9\n-1,70000\n"));
    EXPECT_EQ(iRegisterLineCount(), 4);
    std::filesystem::remove(dir.file("PdState_Flag.dat"));
    ASSERT_EQ(mkfifo(dir.file("PdState_Flag.dat").c_str(), 0600), 0);
    EXPECT_EQ(iRegisterLineCount(), 0); // counted without waiting for a writer
}

// A start-up rewrite that cannot finish leaves the register as it was,
// reports why, and leaves no new file behind.
TEST_F(RegisterAppend, RewriteThatCannotFinishLeavesTheRegisterAndNoTemporaryFile) {
    const std::string reg = dir.file("PdState_Flag.dat");
    struct Case {
        const char *name;
        bool directory;
        const char *message;
    } cases[] = {
        {"register is a directory", true,
         "<5009:Error> PdState_Flag.dat File open failed.(iHspFlgChk) Error Code (21)"},
        {"register is immutable", false,
         "<5009:Error> PdState_Flag.dat File open failed.(iHspFlgChk) Error Code (1)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(reg);
        std::filesystem::remove(dir.file("PredictiveFailure.log"));
        if (c.directory) {
            ASSERT_EQ(mkdir(reg.c_str(), 0755), 0);
        } else {
            // No line names a drive: the rewrite asks the controller nothing.
            ASSERT_TRUE(dir.write("PdState_Flag.dat", "no drive\n"));
            if (!kt::setImmutable(reg, true))
                GTEST_SKIP() << "the immutable flag cannot be set here";
        }
        EXPECT_EQ(iHspFlgChk(), 0);
        auto lines = kt::readLogLines(dir.file("PredictiveFailure.log"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, c.message);
        EXPECT_FALSE(std::filesystem::exists(dir.file("PdState_Flag.bak")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("PdState_Flag.new")));
        if (!c.directory) {
            EXPECT_EQ(registerText(), "no drive\n");
            kt::setImmutable(reg, false);
        }
    }
}

} // namespace
