// The debug log's record form and its life cycle.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

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

// The log's cost: a record is one open, one write and one close, and nothing
// else (no look at the time-zone file, no seek, no second write). The test
// runs itself again under strace; that run writes kRecords records between
// two markers, and the system calls in between are counted.
TEST_F(DebugLog, ARecordCostsThreeSystemCalls)
{
    const int kRecords = 100;
    const char begin[] = "records begin";
    const char end[] = "records end";
    if (getenv("KELVOROV_TRACED_RUN") != NULL) {
        writeDebugLog("first, before the count", 1);  // reads the zone rules
        ssize_t marker = write(-1, begin, sizeof begin - 1);
        writeDebugLog("fresh", 1);
        for (int i = 1; i < kRecords; ++i) {
            logmessage("record %d", i);
        }
        marker += write(-1, end, sizeof end - 1);
        EXPECT_EQ(marker, -2);
        EXPECT_EQ(messages().size(), static_cast<size_t>(kRecords));
        return;
    }
    if (system("strace -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string trace = drive_ + "/trace";
    // LeakSanitizer cannot run under a tracer: a sanitizer build's traced run
    // leaves leak checking to the untraced tests.
    std::string command =
        "KELVOROV_TRACED_RUN=1 ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" strace -f -qq -o " + trace + " " +
        self + " --gtest_filter=DebugLog.ARecordCostsThreeSystemCalls >/dev/null 2>&1";
    int status = system(command.c_str());
    std::ifstream in(trace);
    std::vector<std::string> calls;
    bool inside = false, seen = false;
    for (std::string line; std::getline(in, line);) {
        if (line.find(begin) != std::string::npos) {
            inside = seen = true;
        } else if (line.find(end) != std::string::npos) {
            inside = false;
        } else if (inside) {
            calls.push_back(line);
        }
    }
    if (!seen) {
        GTEST_SKIP() << "strace cannot trace here (status " << status << ")";
    }
    ASSERT_EQ(status, 0) << "the traced run failed";
    std::string first;  // the first calls, to show what a record cost
    for (size_t i = 0; i < calls.size() && i < 12; ++i) {
        first += calls[i] + "\n";
    }
    EXPECT_GE(calls.size(), static_cast<size_t>(kRecords));
    EXPECT_LE(calls.size(), static_cast<size_t>(3 * kRecords + 2)) << first;
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
