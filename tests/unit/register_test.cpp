// Appending to the removed-drive register: one line per drive, whichever form
// its device id arrives in, and a register that cannot be opened.
#include "config/settings.h"
#include "process/process.h"
#include "isolate/register.h"

#include "capture.h"
#include "shim.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST_F(RegisterAppend, UnopenableRegisterIsReportedOnlyInTheLog) {
    ASSERT_EQ(mkdir(dir.file("PdState_Flag.dat").c_str(), 0755), 0);
    EXPECT_EQ(iHSPFileMake(0, 5), 0);
    auto lines = kt::readLogLines(dir.file("PredictiveFailure.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text,
              "<5009:Error> PdState_Flag.dat File open failed.(iHSPFileMake) Error Code (21)");
    EXPECT_TRUE(kt::readSyslogRecords(dir.file("syslog.txt")).empty());
}

} // namespace
