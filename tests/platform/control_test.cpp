// The control port: the command parser as a table, the commands carried
// out against the session and the map, and the line protocol over live
// loopback connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "loopbackclient.h"
#include "platform/ovw.h"
#include "platform/winmsg.h"
#include "simplatform/control/control.h"
#include "simplatform/controlverbs.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/loop.h"
#include "simplatform/runtime/stats.h"

namespace {

using simplatform::ControlCommand;
using simplatform::ControlPort;

// ---- the parser ----

struct ParseCase {
    std::string line;
    bool ok;
    const char* verb;
    std::string text;
    int64_t number;
    std::string errorPart;  // a part of the reason, for failures
};

ParseCase good(std::string line, const char* verb, std::string text = "", int64_t number = 0)
{
    return {std::move(line), true, verb, std::move(text), number, ""};
}

ParseCase bad(std::string line, std::string errorPart)
{
    return {std::move(line), false, "state", "", 0, std::move(errorPart)};
}

TEST(ControlParser, LinesAndTheirCommands)
{
    const ParseCase cases[] = {
        good("state", "state"),
        good("stats\r", "stats"),
        good("  quit \t", "quit"),
        good("open-map /tmp/my maps/site.json", "open-map", "/tmp/my maps/site.json"),
        good("open-submap \t Hall 3  \r", "open-submap", "Hall 3"),
        good("open-submap H\xc3\xa4lle", "open-submap", "H\xc3\xa4lle"),
        good("action kelvorov", "action", "kelvorov"),
        good("create-submap 1000", "create-submap", "", 1000),
        good("create-submap 4294967295", "create-submap", "", 4294967295LL),
        good("create-submap 0000000000000000000007", "create-submap", "", 7),
        good("event 31", "event", "", 31),
        good("event 2147483647", "event", "", 2147483647),
        good("end-session", "end-session", "", 1),
        good("end-session 0", "end-session", "", 0),
        good("end-session -7", "end-session", "", -7),
        good("end-session -2147483648", "end-session", "", INT32_MIN),

        bad("", "empty"),
        bad("   ", "empty"),
        bad("STATE", "unknown command \"STATE\""),
        bad("nosuch thing", "unknown command \"nosuch\""),
        bad(std::string("state\0", 6), "unknown command \"state?\""),
        bad("\xff\xfe\x01", "unknown command \"???\""),
        bad("state now", "takes no argument"),
        bad("lose-connection now", "takes no argument"),
        bad("open-map", "needs a map file path"),
        bad("action", "needs an action name"),
        bad(std::string("action kel\0vorov", 16), "control characters"),
        bad("open-submap Hall\x1b[2J", "control characters"),
        bad("create-submap", "needs a symbol id"),
        bad("create-submap 4294967296", "is not a symbol id"),
        bad("create-submap -1", "is not a symbol id"),
        bad("create-submap +5", "is not a symbol id"),
        bad("create-submap 0x10", "is not a symbol id"),
        bad("create-submap 99999999999999999999999", "is not a symbol id"),
        bad("create-submap 1 2", "takes one argument"),
        bad("event x", "is not an event code"),
        bad("event -1", "is not an event code"),
        bad("event 2147483648", "is not an event code"),
        bad("end-session 2147483648", "is not an end flag"),
        bad("end-session -2147483649", "is not an end flag"),
        bad("end-session 1 2", "takes one argument"),
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE("line \"" + c.line + "\"");
        ControlCommand command;
        command.text = "untouched";
        std::string error;
        bool ok = simplatform::parseControlCommand(simplatform::controlVerbs(), c.line, command, error);
        ASSERT_EQ(ok, c.ok) << error;
        if (c.ok) {
            EXPECT_STREQ(command.verb->name, c.verb);
            EXPECT_EQ(command.text, c.text);
            EXPECT_EQ(command.number, c.number);
        } else {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
            EXPECT_EQ(command.text, "untouched") << "a failed parse must leave the command alone";
        }
    }
}

// ---- the verbs and where they are documented ----

// A file of the source tree (the test data is its tests/data).
std::string sourceFile(const std::string& path)
{
    std::ifstream in(std::string(KELVOROV_TEST_DATA) + "/../../" + path);
    EXPECT_TRUE(in) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each verb by name, as "name FORM" (or "name"), the form lower-cased when
// asked.
std::map<std::string, std::string> verbUsages(bool lowerCase)
{
    std::map<std::string, std::string> usages;
    for (const simplatform::ControlVerb& verb : simplatform::controlVerbs()) {
        std::string usage = std::string(verb.name) + (*verb.form != '\0' ? " " : "") + verb.form;
        std::transform(usage.begin(), usage.end(), usage.begin(),
                       [lowerCase](char c) { return lowerCase ? std::tolower(c) : c; });
        usages[verb.name] = usage;
    }
    return usages;
}

// What pattern's first group matches in text, each cleaned by the
// replacements, by its first word.
std::map<std::string, std::string> entries(const std::string& text, const std::string& pattern,
                                           const std::vector<std::pair<std::string, std::string>>& replacements)
{
    std::map<std::string, std::string> found;
    std::regex entry(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        std::string cleaned = (*it)[1];
        for (const auto& [from, to] : replacements) {
            cleaned = std::regex_replace(cleaned, std::regex(from), to);
        }
        found[cleaned.substr(0, cleaned.find(' '))] = cleaned;
    }
    return found;
}

// simplatform-ctl (its table of commands and its usage), the bash
// completion and the manual page name each verb of the table, with its
// argument, and no other.
TEST(ControlVerbs, EveryListOfThemIsTheTable)
{
    std::map<std::string, std::string> names;
    std::map<std::string, std::string> ctlKinds;
    const char* kinds[] = {"None", "Text", "Number", "Number", "OptionalNumber"};  // by Argument
    for (const simplatform::ControlVerb& verb : simplatform::controlVerbs()) {
        names[verb.name] = verb.name;
        ctlKinds[verb.name] = std::string(verb.name) + " " + kinds[static_cast<int>(verb.argument)];
    }

    std::string ctl = sourceFile("ctl/simplatform-ctl.cpp");
    EXPECT_EQ(entries(ctl, "\\{\"([a-z-]+\", Argument::\\w+)\\}", {{"\", Argument::", " "}}), ctlKinds);
    // The usage's commands: after "commands:" in its adjacent literals.
    size_t usage = ctl.find("const char kUsage[] =");
    ASSERT_NE(usage, std::string::npos);
    std::string literals = ctl.substr(usage, ctl.find(';', usage) - usage);
    std::string text;
    std::regex literal("\"((?:[^\"\\\\]|\\\\.)*)\"");
    for (std::sregex_iterator it(literals.begin(), literals.end(), literal), end; it != end; ++it) {
        text += (*it)[1];
    }
    text = std::regex_replace(text, std::regex("(\\\\n| )+"), " ");
    size_t list = text.find("commands: ");
    ASSERT_NE(list, std::string::npos) << text;
    EXPECT_EQ(entries(text.substr(list + 10) + ",", " ?([^,]+?) ?,", {}), verbUsages(false));

    std::string completion = sourceFile("packaging/simplatform-ctl.bash-completion");
    size_t words = completion.find("local commands=\"");
    ASSERT_NE(words, std::string::npos);
    words += 16;
    EXPECT_EQ(entries(completion.substr(words, completion.find('"', words) - words) + " ", "([a-z-]+) ", {}),
              names);

    // The manual's COMMANDS: the line after each .TP, without its font
    // requests and escapes.
    std::string page = sourceFile("packaging/simplatform-ctl.1");
    size_t commands = page.find("\n.SH COMMANDS\n");
    ASSERT_NE(commands, std::string::npos);
    std::string section = page.substr(commands, page.find("\n.SH ", commands + 1) - commands);
    EXPECT_EQ(
        entries(section, "\n\\.TP\n\\.[A-Z]+ ([^\n]*)", {{"\\\\f[A-Z]|\"", ""}, {"\\\\-", "-"}, {" +", " "}}),
        verbUsages(true));
}

// ---- commands carried out ----

const char* const kMap = R"json({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" }, { "id": 2, "name": "Hall 3" } ],
  "objects": [
    { "id": 100, "hostname": "ups-hall3",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 1000, "label": "ups-hall3", "submap": 2 },
                   { "id": 1001, "label": "ups-hall3 (rack)", "submap": 1 } ] }
  ]
})json";

std::vector<std::string> calls;

void endSessionProbe(void*, int event, int normalEnd)
{
    calls.push_back("end " + std::to_string(event) + " " + std::to_string(normalEnd));
}

void submapOpenProbe(void*, int event, MapHandle* map, SubmapInfo* submap)
{
    calls.push_back("open " + std::to_string(event) + " " + submap->name +
                    (map == simplatform::openMapHandle() ? "" : " (other map)"));
}

// Acknowledges the request for symbol 1000 only.
void submapCreateProbe(void*, int event, MapHandle* map, SymbolInfo* symbol)
{
    calls.push_back("create " + std::to_string(event) + " " + std::to_string(symbol->symbol_id));
    if (symbol->symbol_id == 1000) {
        OVwAckUserSubmapCreate(map, 0, symbol->symbol_id);
    }
}

void eventProbe(void*, int event)
{
    calls.push_back("event " + std::to_string(event));
}

void actionProbe(void* userData, const char* action)
{
    calls.push_back(std::string("action ") + action + " " + static_cast<const char*>(userData));
}

std::string run(const std::string& line)
{
    return simplatform::answerControlLine(simplatform::controlVerbs(), line);
}

struct RunCase {
    const char* line;
    const char* reply;  // exact; a trailing '*' makes it a prefix
    const char* call;   // what the program's handlers saw, "" for nothing
};

void runTable(const RunCase* cases, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const RunCase& c = cases[i];
        SCOPED_TRACE(std::string("command \"") + c.line + "\"");
        calls.clear();
        std::string reply = run(c.line);
        std::string expected = c.reply;
        if (!expected.empty() && expected.back() == '*') {
            expected.pop_back();
            EXPECT_EQ(reply.substr(0, expected.size()), expected) << reply;
        } else {
            EXPECT_EQ(reply, expected);
        }
        EXPECT_EQ(calls, *c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    }
}

class ControlCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        OVwAddCallback(OVw_EVENT_END_SESSION, nullptr, (OVwCallbackProc)endSessionProbe, nullptr);
        OVwAddCallback(OVw_EVENT_SUBMAP_OPEN, nullptr, (OVwCallbackProc)submapOpenProbe, nullptr);
        OVwAddCallback(OVw_EVENT_USER_SUBMAP_CREATE, nullptr, (OVwCallbackProc)submapCreateProbe, nullptr);
        OVwAddCallback(OVw_EVENT_IGNORED, nullptr, (OVwCallbackProc)eventProbe, nullptr);
        static char tag[] = "tag";
        OVwAddActionCallback("probe", actionProbe, tag);
    }
    void TearDown() override
    {
        simplatform::closeMap();
        simplatform::endTurn();
    }
};

TEST_F(ControlCommands, CommandsRaiseTheirEventsAndReply)
{
    std::string error;
    ASSERT_TRUE(simplatform::openMapText(kMap, "test map", error)) << error;
    const RunCase cases[] = {
        {"open-submap Hall 3", "ok", "open 30 Hall 3"},
        {"open-submap Hall 4", "error *", ""},
        {"create-submap 1000", "ok acknowledged", "create 29 1000"},
        {"create-submap 1001", "ok not acknowledged", "create 29 1001"},
        {"create-submap 999", "error *", ""},
        {"event 31", "ok", "event 31"},
        {"event 77", "ok", ""},  // nobody listens
        {"event 29", "error *", ""},
        {"event 30", "error *", ""},
        {"event 1", "ok", "end 1 1"},
        {"end-session 0", "ok", "end 1 0"},
        {"end-session", "ok", "end 1 1"},
        {"action probe", "ok", "action probe tag"},
        {"action nosuch", "error no action registered as \"nosuch\"", ""},
        {"open-map /nonexistent/map.json", "error *", ""},
        {"state", "ok {\"name\":\"Default\",*", ""},  // a failed open-map keeps the open map
    };
    runTable(cases, std::size(cases));
    EXPECT_EQ(run("state").find('\n'), std::string::npos);

    simplatform::closeMap();
    const RunCase withoutMap[] = {
        {"state", "error no map open", ""},
        {"open-submap Hall 3", "error no map open", ""},
        {"create-submap 1000", "error no map open", ""},
    };
    runTable(withoutMap, std::size(withoutMap));
}

TEST_F(ControlCommands, StatsAndQuit)
{
    simplatform::Stats saved = simplatform::stats();
    simplatform::stats() = simplatform::Stats{7, 5, 2, 1, 18446744073709551615ULL};
    EXPECT_EQ(run("stats"),
              "ok {\"datagrams\":7,\"delivered\":5,\"informsAnswered\":2,\"malformed\":1,"
              "\"mapChanges\":18446744073709551615,\"usmUnknownUsers\":0,\"usmUnknownEngineIDs\":0,"
              "\"usmWrongDigests\":0,\"usmDecryptionErrors\":0,\"usmNotInTimeWindows\":0,"
              "\"usmUnsupportedSecLevels\":0,\"reportsSent\":0,\"stateWriteErrors\":0,\"reportsSuppressed\":0}");
    simplatform::stats() = saved;

    EXPECT_EQ(run("quit"), "ok");
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
}

// ---- the line protocol over loopback ----

using Client = LoopbackClient;

int probeEvents = 0;
void countingProbe(void*, int)
{
    ++probeEvents;
}

class ControlPortLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        alarm(60);  // a hang fails the run instead of stalling it
        std::string error;
        port_ = ControlPort::open("127.0.0.1:0", simplatform::controlVerbs(), error);
        ASSERT_NE(port_, nullptr) << error;
        probeEvents = 0;
        OVwAddCallback(OVw_EVENT_IGNORED, nullptr, (OVwCallbackProc)countingProbe, nullptr);
    }
    void TearDown() override
    {
        port_.reset();
        alarm(0);
    }

    // Runs the clients' conversation on a thread while this thread runs the
    // message loop; the conversation ends with a quit, which ends the loop.
    void converse(const std::function<void(uint16_t)>& clients)
    {
        uint16_t port = port_->port();
        std::thread talk([&clients, port] {
            clients(port);
            Client last(port);
            EXPECT_EQ(last.ask("quit"), "ok");
        });
        MSG msg;
        int got;
        while ((got = GetMessageA(&msg, nullptr, 0, 0)) == 1) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        EXPECT_EQ(got, 0);
        talk.join();
    }

    std::unique_ptr<ControlPort> port_;
};

TEST(ControlPortOpen, OnlyLoopbackAddressesAreAccepted)
{
    const char* refused[] = {"0.0.0.0:0",   "192.0.2.1:1620",           "127.0.0.1", "127.0.0.1:65536", ":1620",
                             "127.0.0.1:x", "no-such-host.invalid:1620"};
    bool stdinOpen = fcntl(0, F_GETFD) != -1;
    for (const char* address : refused) {
        std::string error;
        EXPECT_EQ(ControlPort::open(address, simplatform::controlVerbs(), error), nullptr) << address;
        EXPECT_FALSE(error.empty()) << address;
    }
    // A port that was never opened closes no descriptor of the process.
    EXPECT_EQ(fcntl(0, F_GETFD) != -1, stdinOpen);
    std::string error;
    auto first = ControlPort::open("127.0.0.2:0", simplatform::controlVerbs(), error);
    ASSERT_NE(first, nullptr) << error;
    auto again = ControlPort::open("127.0.0.2:" + std::to_string(first->port()), simplatform::controlVerbs(),
                                   error);
    EXPECT_EQ(again, nullptr) << "a port in use cannot be bound twice";
    EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
}

TEST_F(ControlPortLive, SeveralClientsEachGetTheirOwnReplies)
{
    static int endSessions;
    endSessions = 0;
    OVwAddCallback(
        OVw_EVENT_END_SESSION, nullptr, (OVwCallbackProc)(OVwEndSessionProc)[](void*, int, int) { ++endSessions; },
        nullptr);
    converse([](uint16_t port) {
        Client a(port);
        Client b(port);
        Client c(port);
        ASSERT_TRUE(a.connected() && b.connected() && c.connected());
        EXPECT_EQ(a.ask("stats").rfind("ok {\"datagrams\":", 0), 0u);
        EXPECT_EQ(b.ask("nosuch"), "error unknown command \"nosuch\"");
        // Pipelined lines, LF and CR LF, are answered in order.
        ASSERT_TRUE(b.send("event 31\r\nstate now\nevent 31\n"));
        ASSERT_TRUE(c.send("event 31\n"));
        EXPECT_EQ(b.line(), "ok");
        EXPECT_EQ(b.line(), "error state takes no argument");
        EXPECT_EQ(b.line(), "ok");
        EXPECT_EQ(c.line(), "ok");
        // Cut off mid-line: only the partial line is lost.
        ASSERT_TRUE(a.send("event 31\nend-sess"));
        EXPECT_EQ(a.line(), "ok");
        a.close();
        EXPECT_EQ(b.ask("event 31"), "ok");
        Client d(port);
        EXPECT_EQ(d.ask("event 31"), "ok");
    });
    EXPECT_EQ(probeEvents, 6);
    EXPECT_EQ(endSessions, 0);
}

TEST_F(ControlPortLive, OverlongAndBinaryLinesAreRefusedAndTheClientStays)
{
    converse([](uint16_t port) {
        Client a(port);
        // The longest line is still read as a command.
        EXPECT_EQ(a.ask(std::string(ControlPort::kMaxLineBytes, 'x')).rfind("error unknown command", 0), 0u);
        EXPECT_EQ(a.ask(std::string(ControlPort::kMaxLineBytes + 1, 'x')), "error line too long");
        // Sent in pieces, with a command behind it in the same stream: one
        // error for the whole line.
        std::string longLine(5 * ControlPort::kMaxLineBytes, 'y');
        for (size_t at = 0; at < longLine.size(); at += 3000) {
            ASSERT_TRUE(a.send(longLine.substr(at, 3000)));
        }
        ASSERT_TRUE(a.send("\nevent 31\n"));
        EXPECT_EQ(a.line(), "error line too long");
        EXPECT_EQ(a.line(), "ok");
        // Binary bytes get a reply of printable text.
        std::string reply = a.ask(std::string("\x00\xff\x80 ev\0ent 31\x7f", 14));
        EXPECT_EQ(reply.rfind("error unknown command", 0), 0u) << reply;
        EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](char ch) { return ch >= 32 && ch < 127; }))
            << reply;
        EXPECT_EQ(a.ask("event 31"), "ok");
    });
    EXPECT_EQ(probeEvents, 2);
}

TEST_F(ControlPortLive, RepliesWaitForASlowReader)
{
    // All the replies together stay under the port's limit of waiting reply
    // bytes, but far over what the socket buffers take: the port must keep
    // them and send the rest as the reader makes room.
    const int commands = 2500;  // replies of about 360 bytes
    converse([commands](uint16_t port) {
        Client a(port, 4096);
        ASSERT_EQ(a.ask("event 31"), "ok");  // accepted by now
        int server = a.serverSide();
        ASSERT_GE(server, 0);
        int small = 4096;
        setsockopt(server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string batch;
        for (int i = 0; i < commands; ++i) {
            batch += "stats\n";
        }
        ASSERT_TRUE(a.send(batch));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // not reading yet
        int replies = 0;
        for (; replies < commands; ++replies) {
            if (a.line().rfind("ok {", 0) != 0) {
                break;
            }
        }
        EXPECT_EQ(replies, commands);
    });
}

TEST_F(ControlPortLive, FloodingClientsAreDropped)
{
    converse([](uint16_t port) {
        Client endless(port);
        // One line that never ends.
        std::string chunk(64 * 1024, 'z');
        size_t sent = 0;
        while (sent <= ControlPort::kMaxDiscardBytes + chunk.size() && endless.send(chunk)) {
            sent += chunk.size();
        }
        EXPECT_EQ(endless.line(), "error line too long");
        EXPECT_EQ(endless.line(), "<closed>");

        // Commands sent without ever reading a reply.
        Client deaf(port);
        std::string batch;
        for (int i = 0; i < 10000; ++i) {
            batch += "stats\n";
        }
        bool sending = true;
        for (int i = 0; i < 400 && sending; ++i) {
            sending = deaf.send(batch);
        }
        EXPECT_FALSE(sending) << "the connection should have been dropped";

        Client other(port);
        EXPECT_EQ(other.ask("event 31"), "ok");
    });
    EXPECT_EQ(probeEvents, 1);
}

TEST_F(ControlPortLive, EndingTheSessionFromACommandClosesThePort)
{
    static ControlPort* port;
    port = port_.get();
    OVwAddCallback(
        OVw_EVENT_END_SESSION, nullptr, (OVwCallbackProc)(OVwEndSessionProc)[](void*, int, int) { port->close(); },
        nullptr);
    uint16_t number = port_->port();
    std::thread talk([number] {
        Client a(number);
        Client b(number);
        EXPECT_EQ(b.ask("event 31"), "ok");
        // The program ends the session: no reply, the connections end.
        EXPECT_EQ(a.ask("end-session 1"), "<closed>");
        EXPECT_EQ(b.line(), "<closed>");
    });
    MSG msg;
    // Until the port is closed and nothing is left to wait for.
    while (GetMessageA(&msg, nullptr, 0, 0) == 1) {
        DispatchMessageA(&msg);
    }
    talk.join();
    EXPECT_EQ(port_->clientCount(), 0u);
}

// ---- bounded work and resources ----

// One GetMessageA / DispatchMessageA turn.
void turn()
{
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    DispatchMessageA(&msg);
}

// A client that pipelines commands gets one carried out a turn, so others
// wait at most one command for their turn.
TEST_F(ControlPortLive, OneCommandATurn)
{
    Client a(port_->port());
    ASSERT_TRUE(a.connected());
    ASSERT_TRUE(a.send("event 31\nevent 31\nevent 31\n"));
    int turns = 0;
    int before = 0;
    while (probeEvents < 3 && turns < 20) {
        turn();
        ++turns;
        EXPECT_LE(probeEvents - before, 1) << "turn " << turns;
        before = probeEvents;
    }
    EXPECT_EQ(probeEvents, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(a.line(), "ok");
    }
}

// A reply larger than the limit of waiting replies reaches a client that
// reads it; only replies queued behind it count.
TEST(ControlPortReplies, ALargeReplyReachesAPromptReader)
{
    alarm(60);
    static const std::string large(3 << 20, 'x');
    simplatform::ControlVerbs verbs = simplatform::controlVerbs();
    verbs.push_back({"large", simplatform::Argument::None, "", "", "A reply of 3 MiB.",
                     [](const ControlCommand&) { return large; }});
    std::string error;
    auto port = ControlPort::open("127.0.0.1:0", verbs, error);
    ASSERT_NE(port, nullptr) << error;
    uint16_t number = port->port();
    std::thread talk([number] {
        Client a(number);
        ASSERT_EQ(a.ask("event 31"), "ok");  // accepted by now
        // The socket takes far less than the reply at once.
        int server = a.serverSide();
        ASSERT_GE(server, 0);
        int small = 65536;
        setsockopt(server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string got = a.ask("large");
        EXPECT_EQ(got.size(), large.size()) << got.substr(0, 40);
        EXPECT_TRUE(got == large);
        Client last(number);
        EXPECT_EQ(last.ask("quit"), "ok");
    });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) == 1) {
        DispatchMessageA(&msg);
    }
    talk.join();
    alarm(0);
}

// With no descriptor left, accept fails while the connection stays queued:
// the port must not spin on its ready listener, and says so once.
TEST_F(ControlPortLive, OutOfDescriptorsIsSaidOnceAndDoesNotSpin)
{
    // Always ready, so that every turn returns whatever the listener does.
    int ready[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ready), 0);
    ASSERT_EQ(write(ready[1], "x", 1), 1);
    simplatform::watchSocket(ready[0], [] {});
    std::vector<std::unique_ptr<Client>> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(std::make_unique<Client>(port_->port()));
    }
    testing::internal::CaptureStderr();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = dup(0)) >= 0;) {
        taken.push_back(fd);
    }
    for (int i = 0; i < 20; ++i) {
        turn();
    }
    for (int fd : taken) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("out of file descriptors"), std::string::npos) << said;
    for (auto& client : queued) {
        EXPECT_EQ(client->line(), "<closed>");
    }
    simplatform::closeSocket(ready[0]);
    close(ready[1]);

    Client later(port_->port());
    ASSERT_TRUE(later.send("event 31\n"));
    for (int i = 0; i < 20 && probeEvents == 0; ++i) {
        turn();
    }
    EXPECT_EQ(later.line(), "ok");
}

// Idle clients cannot keep the others out: one that has said nothing for
// the idle limit is dropped when a client connects.
TEST_F(ControlPortLive, IdleClientsMakeRoom)
{
    port_->setIdleLimit(std::chrono::milliseconds(1000));
    converse([](uint16_t port) {
        std::vector<std::unique_ptr<Client>> idle;
        for (size_t i = 0; i < ControlPort::kMaxClients; ++i) {
            idle.push_back(std::make_unique<Client>(port));
            ASSERT_EQ(idle.back()->ask("event 31"), "ok");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        Client late(port);
        EXPECT_EQ(late.ask("event 31"), "ok");
        EXPECT_EQ(idle.front()->line(), "<closed>");
    });
}

// The control port as a local socket: only owner and group may connect,
// and it is gone when the port closes.
TEST(ControlPortLocal, UnixSocketIsPrivateAndRemovedAtTheEnd)
{
    alarm(60);
    char dir[] = "/tmp/kelvorov-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/control";
    std::string error;
    auto port = ControlPort::open("unix:" + path, simplatform::controlVerbs(), error);
    ASSERT_NE(port, nullptr) << error;
    struct stat st { };
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    std::string reply;
    std::thread talk([&path, &reply] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            send(fd, "stats\nquit\n", 11, 0) == 11) {
            char bytes[4096];
            for (ssize_t n;
                 reply.find("ok\n") == std::string::npos && (n = recv(fd, bytes, sizeof bytes, 0)) > 0;) {
                reply.append(bytes, static_cast<size_t>(n));
            }
        }
        close(fd);
    });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) == 1) {
        DispatchMessageA(&msg);
    }
    talk.join();
    EXPECT_EQ(reply.rfind("ok {\"datagrams\":", 0), 0u) << reply;
    port.reset();
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket file stays";

    // Something else in its place is refused and left alone.
    std::ofstream(path) << "keep";
    EXPECT_EQ(ControlPort::open("unix:" + path, simplatform::controlVerbs(), error), nullptr);
    EXPECT_EQ(error, "cannot listen on unix:" + path + ": " + path + " exists and is not a socket");
    std::ifstream kept(path);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "keep");
    std::filesystem::remove_all(dir);
    alarm(0);
}

}  // namespace
