// The program's life cycle, driven from outside: start-up, the log switch,
// the end of the session and its exit status, quit, actions and events.
#include <gtest/gtest.h>

#include "harness.h"

using e2e::Options;
using e2e::Program;

namespace {

std::string siteMap()
{
    return std::string(KELVOROV_SOURCE_DIR) + "/examples/site.json";
}

TEST(Startup, WithoutArgumentWritesNoLog)
{
    Program program(Options{{}, siteMap()});
    ASSERT_TRUE(program.waitReady());
    EXPECT_EQ(program.command("action kelvorov"), "ok");
    EXPECT_EQ(program.command("open-submap Hall 3"), "ok");
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
    EXPECT_FALSE(e2e::fileExists(program.logPath()));
}

TEST(Startup, EmptyArgumentSwitchesLoggingOn)
{
    Program program(Options{{""}, ""});
    ASSERT_TRUE(program.waitReady());
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
    auto messages = e2e::logMessages(program.log());
    ASSERT_EQ(messages.size(), 3u) << program.log();
    EXPECT_EQ(messages[0], "This message should appear in the DebugFile\n");
    EXPECT_EQ(messages[1], "OVsnmpEventOpen ok:");
}

TEST(Startup, OpenMapBeginsTheLogAnewAtGotTheMap)
{
    Program program(Options{{"-d"}, siteMap()});
    ASSERT_TRUE(program.waitReady());
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
    auto messages = e2e::logMessages(program.log());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "got the map\n");
    EXPECT_EQ(e2e::countOf(program.log(), "This message should appear"), 0);
    EXPECT_EQ(e2e::countOf(program.log(), "submapforbox is found"), 1);
}

TEST(Startup, UnopenableLogEndsTheProcessWithStatusOne)
{
    Options options{{"x"}, ""};
    options.makeTempFolder = false;
    Program program(options);
    EXPECT_EQ(program.waitExit(), 1);
    EXPECT_EQ(program.stderrText(), "Could not create debug file.  Exiting\n");
}

TEST(Startup, LogFolderRemovedWhileRunningEndsAtTheNextMessage)
{
    Program program(Options{{"x"}, ""});
    ASSERT_TRUE(program.waitReady());
    ASSERT_EQ(e2e::runCommand("rm -rf '" + program.drive() + "/temp'"), 0);
    program.send("action kelvorov");
    EXPECT_EQ(program.waitExit(), 1);
    EXPECT_EQ(program.stderrText(), "Could not create debug file.  Exiting\n");
}

TEST(Startup, BadMapFileStopsTheStartNamingFileAndFault)
{
    e2e::TempDir dir;
    std::string path = dir.write("broken.json", "{ \"name\": ");
    Program program(Options{{"x"}, path});
    int status = program.waitExit();
    EXPECT_NE(status, 0);
    EXPECT_NE(program.stderrText().find("broken.json"), std::string::npos) << program.stderrText();
    EXPECT_FALSE(e2e::fileExists(program.logPath()));
}

struct EndCase {
    const char* name;
    const char* command;
    int status;
};

class EndSession : public ::testing::TestWithParam<EndCase> {};

TEST_P(EndSession, ExitStatusFollowsTheEndFlag)
{
    Program program(Options{{"x"}, siteMap()});
    ASSERT_TRUE(program.waitReady());
    program.send(GetParam().command);
    EXPECT_EQ(program.waitExit(), GetParam().status);
    std::string log = program.log();
    auto messages = e2e::logMessages(log);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "in endSessionCB");
    EXPECT_EQ(e2e::countOf(log, "Normal Program End"), 0);
}

INSTANTIATE_TEST_SUITE_P(Flags, EndSession,
                         ::testing::Values(EndCase{"Normal", "end-session 1", 0},
                                           EndCase{"DefaultFlag", "end-session", 0},
                                           EndCase{"FlagZero", "end-session 0", 1},
                                           EndCase{"FlagTwo", "end-session 2", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MessageLoop, QuitEndsWithNormalProgramEnd)
{
    Program program(Options{{"x"}, ""});
    ASSERT_TRUE(program.waitReady());
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
    auto messages = e2e::logMessages(program.log());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "*******************************\nNormal Program End");
}

TEST(MessageLoop, ActionIsLoggedAndEvent31LogsNothing)
{
    Program program(Options{{"x"}, siteMap()});
    ASSERT_TRUE(program.waitReady());
    std::string before = program.log();
    EXPECT_EQ(program.command("event 31"), "ok");
    EXPECT_EQ(program.log(), before);
    EXPECT_EQ(program.command("action kelvorov"), "ok");
    auto messages = e2e::logMessages(program.log());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "kelvorov Action");
    EXPECT_EQ(program.command("action nosuchaction").rfind("error", 0), 0u);
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
}

}  // namespace
