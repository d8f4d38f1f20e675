// Traps and informs from net-snmp's real senders, bound to the UPS hosts'
// loopback addresses, through the receiver into the log and onto the map.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

using e2e::Options;
using e2e::Program;

namespace {

class Traps : public ::testing::Test {
protected:
    void SetUp() override
    {
        Options options{{"x"}, e2e::dataFile("hall3.json")};
        options.env["SIMPLATFORM_HOSTS"] = e2e::dataFile("hosts");
        program_ = std::make_unique<Program>(options);
        ASSERT_TRUE(program_->waitReady());
    }

    // Runs a net-snmp sender from source address `from`; its exit status.
    int send(const std::string& tool, const std::string& from, const std::string& args,
             std::string* output = nullptr)
    {
        std::string command = tool + " -c public --clientaddr=" + from + " 127.0.0.1:" +
                              std::to_string(program_->trapPort()) + " " + args;
        return e2e::runCommand(command, output);
    }

    int v2trap(const std::string& from, const std::string& oid, const std::string& bindings = "")
    {
        return send("snmptrap -v 2c", from, "'' " + oid + " " + bindings);
    }

    // Waits until the platform has delivered `count` traps in all.
    void waitDelivered(int count)
    {
        program_->waitFor("stats", "\"delivered\":" + std::to_string(count));
    }

    std::string log() { return program_->log(); }
    std::unique_ptr<Program> program_;
};

TEST_F(Traps, PowerFailureAndItsClearing)
{
    ASSERT_EQ(v2trap("127.0.0.3", "1.3.6.1.4.1.935.0.5"), 0);
    program_->waitFor("state", "Powerfail");
    auto symbol = e2e::symbolState(*program_, 1000);
    EXPECT_EQ(symbol["label"], "ups-hall3: Powerfail");
    EXPECT_EQ(symbol["status"], 4);

    ASSERT_EQ(v2trap("127.0.0.3", "1.3.6.1.2.1.33.2.2"), 0);
    program_->waitFor("state", "ups-hall3: ok");
    symbol = e2e::symbolState(*program_, 1000);
    EXPECT_EQ(symbol["label"], "ups-hall3: ok");
    EXPECT_EQ(symbol["status"], 2);

    std::string text = log();
    EXPECT_NE(text.find(": Received TRAP in SNMPv2 format:\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": Source Addr   = \"127.0.0.3\"\n"), std::string::npos);
    EXPECT_NE(text.find(": community     = \"public\"\n"), std::string::npos);
    EXPECT_NE(text.find(": notify_oid    = 1.3.6.1.4.1.935.0.5\n"), std::string::npos);
    EXPECT_NE(text.find(": enterprise    = 1.3.6.1.4.1.935\n"), std::string::npos);
    EXPECT_NE(text.find(": compare to ups-hall3"), std::string::npos);
    EXPECT_NE(text.find(": comparing= 1"), std::string::npos);
}

TEST_F(Traps, InformIsAcknowledgedAndShown)
{
    std::string output;
    EXPECT_EQ(send("snmpinform -v 2c -t 3 -r 0", "127.0.0.3", "'' 1.3.6.1.4.1.935.0.7", &output), 0) << output;
    program_->waitFor("state", "Battery Low");
    EXPECT_EQ(e2e::symbolState(*program_, 1000)["label"], "ups-hall3: Battery Low");
    EXPECT_NE(log().find(": Received INFORM in SNMPv2 format:\n"), std::string::npos);
    EXPECT_NE(program_->command("stats").find("\"informsAnswered\":1"), std::string::npos);
}

TEST_F(Traps, SnmpV1TrapIsLoggedFieldByFieldAndLeavesTheMap)
{
    std::string before = program_->command("state");
    ASSERT_EQ(send("snmptrap -v 1", "127.0.0.3",
                   "1.3.6.1.4.1.935 127.0.0.3 6 5 4242 1.3.6.1.2.1.1.5.0 s ups-hall3 "
                   "1.3.6.1.4.1.935.1.1 i -7 1.3.6.1.4.1.935.1.2 x 00FF10"),
              0);
    waitDelivered(1);
    auto messages = e2e::logMessages(log());
    auto start = std::find(messages.begin(), messages.end(), "Received TRAP in SNMPv1 format:\n");
    ASSERT_NE(start, messages.end()) << log();
    std::vector<std::string> fields(start, messages.end());
    std::vector<std::string> expected{
        "Received TRAP in SNMPv1 format:\n",
        "Source Addr   = \"127.0.0.3\"\n",
        "agent_addr    = \"127.0.0.3\"\n",
        "community     = \"public\"\n",
        "enterprise    = 1.3.6.1.4.1.935\n",
        "generic_type  = 6\n",
        "specific_type = 5\n",
        "time-stamp    = 4242\n",
        "VarBind #1    = \"ups-hall3\"\n",
        "VarBind #2    = \"-7\"\n",
        "VarBind #3    = \"00 FF 10 \"\n",
    };
    EXPECT_EQ(fields, expected) << log();
    EXPECT_EQ(program_->command("state"), before);
}

TEST_F(Traps, TrapFromAnUnrecordedHostIsOnlyLogged)
{
    std::string before = program_->command("state");
    ASSERT_EQ(v2trap("127.0.0.11", "1.3.6.1.4.1.935.0.5"), 0);
    waitDelivered(1);
    std::string text = log();
    EXPECT_NE(text.find(": compare to ups-hall3\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": comparing= 0\n"), std::string::npos) << text;
    EXPECT_EQ(program_->command("state"), before);
}

TEST_F(Traps, IdentifierOutsideTheFamiliesIsLoggedTwice)
{
    ASSERT_EQ(v2trap("127.0.0.3", "1.3.6.1.4.1.9.9.41.2.0.1"), 0);
    waitDelivered(1);
    std::string text = log();
    EXPECT_EQ(e2e::countOf(text, ": notify_oid    = 1.3.6.1.4.1.9.9.41.2.0.1\n"), 2) << text;
    EXPECT_EQ(e2e::symbolState(*program_, 1000)["label"], "ups-hall3");
}

TEST_F(Traps, AfterALostConnectionTrapsStopButMapEventsGoOn)
{
    EXPECT_EQ(program_->command("lose-connection"), "ok");
    EXPECT_NE(log().find(": Lost Connection: "), std::string::npos) << log();
    v2trap("127.0.0.3", "1.3.6.1.4.1.935.0.5");
    EXPECT_EQ(program_->command("open-submap Hall 3"), "ok");
    EXPECT_NE(log().find("opened submap = Hall 3\n"), std::string::npos);
    EXPECT_NE(program_->command("stats").find("\"delivered\":0"), std::string::npos);
    EXPECT_EQ(e2e::symbolState(*program_, 1000)["label"], "ups-hall3");
    EXPECT_EQ(program_->command("lose-connection").rfind("error", 0), 0u);
}

}  // namespace
