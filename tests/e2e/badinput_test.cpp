// Bad input from outside, end to end: faulty map files at start and through
// open-map, and a crowd of control clients sending overlong, binary and
// cut-off lines. Each gets a clear error and nothing else is lost.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

using e2e::Options;
using e2e::Program;

namespace {

// ---- map files ----

struct BadMapFile {
    const char* name;
    std::function<std::string()> text;
    const char* fault;  // part of the error text after the file's name
};

std::string largeMap()
{
    // Valid JSON, one byte over the platform's 16 MB limit.
    const size_t limit = 16u * 1024u * 1024u;
    std::string text = "{\"name\": \"";
    text += std::string(limit + 1 - text.size() - 2, 'x');
    return text + "\"}";
}

const BadMapFile kBadMapFiles[] = {
    {"not-json.json", [] { return std::string("{ \"name\": \"Default\", \"submaps\": [ }"); }, ": not JSON: "},
    {"wrong-types.json", [] { return std::string(R"({"objects": [{"id": "100"}]})"); },
     ": objects[0].id: must be a whole number"},
    {"duplicate-ids.json",
     [] {
         return std::string(R"({"submaps": [{"id": 1, "name": "Root"}],
             "objects": [{"id": 100, "symbols": [{"id": 1000, "submap": 1}]},
                         {"id": 100, "symbols": [{"id": 1001, "submap": 1}]}]})");
     },
     ": duplicate object id 100"},
    {"unknown-submap.json",
     [] {
         return std::string(R"({"submaps": [{"id": 1, "name": "Root"}],
             "objects": [{"id": 100, "symbols": [{"id": 1000, "submap": 9}]}]})");
     },
     ": symbol 1000 is on unknown submap 9"},
    {"large.json", largeMap, ": too large: "},
    // Valid JSON, but a number beyond the parser's range.
    {"huge-number.json", [] { return std::string(R"({"name": "Default", "objects": [{"id": 1e999}]})"); },
     ": not JSON: number overflow"},
};

void PrintTo(const BadMapFile& file, std::ostream* out)
{
    *out << file.name;
}

class BadMap : public ::testing::TestWithParam<BadMapFile> {};

TEST_P(BadMap, StopsTheStartWithFileAndFault)
{
    e2e::TempDir dir;
    std::string path = dir.write(GetParam().name, GetParam().text());
    Program program(Options{{"x"}, path});
    int status = program.waitExit(10000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "the process did not end by itself";
    std::string error = program.stderrText();
    EXPECT_EQ(error.rfind(path + GetParam().fault, 0), 0u) << error;
    EXPECT_EQ(e2e::countOf(error, "\n"), 1) << "one line: " << error;
    EXPECT_EQ(program.stdoutText(), "");
    EXPECT_FALSE(e2e::fileExists(program.logPath()));
}

TEST(BadMapWhileRunning, OpenMapRefusesEachAndKeepsTheOpenMapWorking)
{
    e2e::TempDir dir;
    Options options{{"x"}, e2e::dataFile("hall3.json")};
    options.env["SIMPLATFORM_HOSTS"] = e2e::dataFile("hosts");
    Program program(options);
    ASSERT_TRUE(program.waitReady());
    std::string state = program.command("state");
    ASSERT_EQ(state.rfind("ok {", 0), 0u) << state;

    for (const BadMapFile& bad : kBadMapFiles) {
        std::string path = dir.write(bad.name, bad.text());
        std::string reply = program.command("open-map " + path, 10000);
        EXPECT_EQ(reply.rfind("error " + path + bad.fault, 0), 0u) << reply;
        EXPECT_EQ(program.command("state"), state) << bad.name;
    }
    std::string missing = dir.path() + "/missing.json";
    EXPECT_EQ(program.command("open-map " + missing).rfind("error " + missing + ": cannot read", 0), 0u);

    // The UPS recorded from the open map is still shown.
    std::string command = "snmptrap -v 2c -c public --clientaddr=127.0.0.3 127.0.0.1:" +
                          std::to_string(program.trapPort()) + " '' 1.3.6.1.4.1.935.0.5";
    ASSERT_EQ(e2e::runCommand(command), 0);
    EXPECT_NE(program.waitFor("state", "ups-hall3: Powerfail").find("ups-hall3: Powerfail"), std::string::npos);
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, BadMap, ::testing::ValuesIn(kBadMapFiles),
                         [](const ::testing::TestParamInfo<BadMapFile>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '.'; ++c) {
                                 name += *c == '-' ? '_' : *c;
                             }
                             return name;
                         });

// ---- control clients ----

// A blocking client of the control port with a receive timeout.
class Client {
public:
    explicit Client(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        timeval timeout{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { close(); }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // The next reply line, "<closed>" at the end of the stream or a timeout.
    std::string line()
    {
        while (pending_.find('\n') == std::string::npos) {
            char chunk[4096];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return "<closed>";
            }
            pending_.append(chunk, static_cast<size_t>(n));
        }
        size_t newline = pending_.find('\n');
        std::string reply = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return reply;
    }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
};

// What one client of the crowd sends between two "action kelvorov" lines,
// and the reply it expects (empty: none, the client leaves mid-line).
struct Middle {
    std::string bytes;
    std::string replyPrefix;
};

Middle middleFor(int client)
{
    switch (client % 5) {
    case 0:
        return {std::string(20000, 'a') + "\n", "error line too long"};
    case 1: {
        static const char binary[] = "\x00\xff\x80\x1b[2J action\x7f kelvorov\n";
        return {std::string(binary, sizeof binary - 1), "error unknown command"};
    }
    case 2:
        return {"action kelvo", ""};
    case 3:
        return {"stats\r\n", "ok {\"datagrams\":"};
    default:
        return {"state\n", "ok {\"name\":"};
    }
}

TEST(ControlCrowd, FiftyClientsAtOnceEachGetTheirRepliesAndCutLinesDoNothing)
{
    Program program(Options{{"x"}, e2e::dataFile("hall3.json")});
    ASSERT_TRUE(program.waitReady());
    const int kClients = 50;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>(program.controlPort()));
        ASSERT_TRUE(clients.back()->connected()) << "client " << i;
    }
    // Every client sends everything before any reply is read.
    int actions = 0;
    for (int i = 0; i < kClients; ++i) {
        Middle middle = middleFor(i);
        bool cut = middle.replyPrefix.empty();
        std::string bytes = "action kelvorov\n" + middle.bytes + (cut ? "" : "action kelvorov\n");
        ASSERT_TRUE(clients[i]->send(bytes)) << "client " << i;
        actions += cut ? 1 : 2;
    }
    for (int i = 0; i < kClients; ++i) {
        Middle middle = middleFor(i);
        EXPECT_EQ(clients[i]->line(), "ok") << "client " << i;
        if (middle.replyPrefix.empty()) {
            clients[i]->close();
            continue;
        }
        std::string reply = clients[i]->line();
        EXPECT_EQ(reply.rfind(middle.replyPrefix, 0), 0u) << "client " << i << ": " << reply;
        for (char c : reply) {
            EXPECT_TRUE(c >= 32 && c < 127) << "client " << i << ": byte " << static_cast<int>(c);
        }
        EXPECT_EQ(clients[i]->line(), "ok") << "client " << i;
    }
    clients.clear();

    // A fresh client is served; the log holds exactly the actions of whole lines.
    EXPECT_EQ(program.command("event 31"), "ok");
    EXPECT_EQ(e2e::countOf(program.log(), ": kelvorov Action\n"), actions);
    EXPECT_EQ(program.command("quit"), "ok");
    EXPECT_EQ(program.waitExit(), 0);
}

}  // namespace
