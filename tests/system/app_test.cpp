// The debug log's record form and its life cycle.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "app/debuglog.h"
#include "logdrive.h"

namespace {

using DebugLog = LogDrive;

const char* const kTime = "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n";

TEST_F(DebugLog, RecordIsTimeLineThenColonMessage)
{
    writeDebugLog("process_pdu", 1);
    EXPECT_TRUE(std::regex_match(log(), std::regex(std::string(kTime) + ": process_pdu\n"))) << log();
}

TEST_F(DebugLog, EmptyMessageAndTrailingNewline)
{
    writeDebugLog("", 1);
    writeDebugLog("got the map\n", 0);
    std::string expected = std::string(kTime) + ": \n" + kTime + ": got the map\n\n";
    EXPECT_TRUE(std::regex_match(log(), std::regex(expected))) << log();
}

TEST_F(DebugLog, FreshBeginsAnewAndOnlyTheLowByteCounts)
{
    writeDebugLog("first", 1);
    writeDebugLog("second", 0);
    writeDebugLog("third", 0x100);  // low byte zero: append
    std::string expected = std::string(kTime) + ": first\n" + kTime + ": second\n" + kTime + ": third\n";
    EXPECT_TRUE(std::regex_match(log(), std::regex(expected))) << log();
    writeDebugLog("fourth", 1);
    EXPECT_TRUE(std::regex_match(log(), std::regex(std::string(kTime) + ": fourth\n"))) << log();
}

TEST_F(DebugLog, DisabledWritesNoFile)
{
    debuglogenabled = 0;
    writeDebugLog("nothing", 1);
    logmessage("nothing %d", 1);
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

TEST_F(DebugLog, LongMessageIsCutToTheBuffer)
{
    std::string longText(1000, 'x');
    messagebuffer[MESSAGE_BUFFER_SIZE - 1] = '#';
    logmessage("compare to %s", longText.c_str());
    EXPECT_EQ(messagebuffer[MESSAGE_BUFFER_SIZE - 1], '\0');
    std::string expected = "compare to " + longText.substr(0, MESSAGE_BUFFER_SIZE - 1 - 11);
    EXPECT_TRUE(std::regex_match(log(), std::regex(std::string(kTime) + ": " + expected + "\n"))) << log();
}

TEST_F(DebugLog, UnopenableFileEndsTheProcessWithStatusOne)
{
    std::filesystem::remove_all(drive_ + "/temp");
    EXPECT_EXIT(writeDebugLog("x", 0), ::testing::ExitedWithCode(1),
                "^Could not create debug file\\.  Exiting\n$");
}

TEST(LogTime, EveryFieldIsZeroPadded)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    char text[32];
    formatlogtime(text, sizeof text, 915440707LL);  // 1999-01-04 09:05:07 UTC
    EXPECT_STREQ(text, "Mon Jan 04 09:05:07 1999\n");
    formatlogtime(text, sizeof text, 1798761599LL);  // 2026-12-31 23:59:59 UTC
    EXPECT_STREQ(text, "Thu Dec 31 23:59:59 2026\n");
    char small[8];
    formatlogtime(small, sizeof small, 915440707LL);
    EXPECT_STREQ(small, "Mon Jan");
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
