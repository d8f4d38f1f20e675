// UPS discovery and the map's state, driven through the control port.
#include <gtest/gtest.h>

#include "harness.h"

using e2e::Options;
using e2e::Program;

namespace {

const char kFrame[] = "****************************";

TEST(Discovery, StartupTakesTheFirstUpsOnly)
{
    Program program(Options{{"x"}, e2e::dataFile("hall3.json")});
    ASSERT_TRUE(program.waitReady());
    auto first = e2e::symbolState(program, 1000);
    ASSERT_FALSE(first.is_null());
    EXPECT_EQ(first["statusSource"], 3);
    EXPECT_FALSE(first["behavior"].is_null());
    auto second = e2e::symbolState(program, 1002);
    ASSERT_FALSE(second.is_null());
    EXPECT_TRUE(second["statusSource"].is_null());
    EXPECT_TRUE(second["behavior"].is_null());

    auto messages = e2e::logMessages(program.log());
    std::vector<std::string> expected{
        "got the map\n",
        "checksubmapforbox: objlist->count=3",
        "checksubmapforbox: .1.3.6.1.4.1.935",
        "checksubmapforbox: num_symbols=1\n",
        "setsymbolsforups\n",
        "setsymbolsforups: count=1\n",
        "createsymbolsforups: ups-hall3",
        "setsymbolbehavoir ok\n",
        "submapforbox is found",
        "OVsnmpEventOpen ok:",
    };
    EXPECT_EQ(messages, expected) << program.log();
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
}

TEST(Discovery, OpeningASubmapDiscoversAgainInFrames)
{
    Program program(Options{{"x"}, e2e::dataFile("hall3.json")});
    ASSERT_TRUE(program.waitReady());
    size_t before = e2e::logMessages(program.log()).size();
    EXPECT_EQ(program.command("open-submap Hall 3"), "ok");
    auto messages = e2e::logMessages(program.log());
    std::vector<std::string> added(messages.begin() + static_cast<long>(before), messages.end());
    ASSERT_GE(added.size(), 4u) << program.log();
    EXPECT_EQ(added.front(), std::string(kFrame) + "\nstart SubmapOpenCB\n");
    EXPECT_EQ(added[1], "opened submap = Hall 3\n");
    EXPECT_EQ(added[added.size() - 2], "submapforbox is found");
    EXPECT_EQ(added.back(), "Ende mapOpenCB\n" + std::string(kFrame) + "\n");
    EXPECT_EQ(program.command("open-submap No Such Submap").rfind("error", 0), 0u);
}

TEST(Discovery, NoMapAtStartThenOpenMapAndSubmap)
{
    Program program(Options{{"x"}, ""});
    ASSERT_TRUE(program.waitReady());
    EXPECT_EQ(program.command("state").rfind("error", 0), 0u);
    EXPECT_EQ(program.command("open-submap Hall 5").rfind("error", 0), 0u);
    EXPECT_EQ(program.command("open-map " + e2e::dataFile("hall5.json")), "ok");
    EXPECT_EQ(e2e::countOf(program.log(), "checksubmapforbox"), 0);
    EXPECT_EQ(program.command("open-submap Hall 5"), "ok");
    std::string log = program.log();
    EXPECT_NE(log.find("setsymbolsforups: count=2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("createsymbolsforups: ups-hall5 (rack)"), std::string::npos);
    EXPECT_EQ(e2e::symbolState(program, 2001)["statusSource"], 3);
}

TEST(SubmapCreate, RequestIsAcknowledgedWithoutASubmap)
{
    Program program(Options{{"x"}, e2e::dataFile("hall3.json")});
    ASSERT_TRUE(program.waitReady());
    std::string reply = program.command("create-submap 1001");
    EXPECT_EQ(reply, "ok acknowledged");
    EXPECT_EQ(e2e::logMessages(program.log()).back(), "userSubmapCreateCB: router-1");
    EXPECT_EQ(program.command("create-submap 999999").rfind("error", 0), 0u);
    EXPECT_EQ(program.command("create-submap abc").rfind("error", 0), 0u);
}

TEST(MapView, StateFileAndConsoleFollowEveryChange)
{
    e2e::TempDir dir;
    Options options{{}, e2e::dataFile("hall3.json")};
    options.env["SIMPLATFORM_STATE"] = dir.path() + "/state.json";
    options.env["SIMPLATFORM_HOSTS"] = e2e::dataFile("hosts");
    Program program(options);
    ASSERT_TRUE(program.waitReady());
    ASSERT_TRUE(e2e::fileExists(dir.path() + "/state.json"));
    std::string command = "snmptrap -v 2c -c public --clientaddr=127.0.0.3 127.0.0.1:" +
                          std::to_string(program.trapPort()) + " '' 1.3.6.1.4.1.935.0.5";
    ASSERT_EQ(e2e::runCommand(command), 0);
    program.waitFor("state", "ups-hall3: Powerfail");
    auto state = nlohmann::json::parse(e2e::readFile(dir.path() + "/state.json"));
    EXPECT_NE(state.dump().find("ups-hall3: Powerfail"), std::string::npos);
    EXPECT_NE(program.stdoutText().find("map: symbol 1000 \"ups-hall3: Powerfail\" critical (4)\n"),
              std::string::npos)
        << program.stdoutText();
}

}  // namespace
