// The platform's gethostbyname: its hosts file first, dotted text, then the
// operating system's resolver; the hosts file followed when it changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "simplatform/runtime/handover.h"

namespace {

class NameService : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/nameservice_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override
    {
        unsetenv("SIMPLATFORM_HOSTS");
        simplatform::endTurn();
        for (const std::string& f : files_)
            std::remove(f.c_str());
        rmdir(folder_.c_str());
    }

    std::string writeHosts(const std::string& name, const std::string& text)
    {
        std::string path = folder_ + "/" + name;
        std::ofstream(path) << text;
        files_.push_back(path);
        return path;
    }

    // The setting is read at a turn's first lookup: a new one is seen from
    // the next turn on.
    void useHosts(const std::string& path)
    {
        setenv("SIMPLATFORM_HOSTS", path.c_str(), 1);
        simplatform::endTurn();
    }

    std::string folder_;
    std::vector<std::string> files_;
};

// The first address of name as dotted text, or "none".
std::string lookup(const char* name)
{
    hostent* h = gethostbyname(name);
    if (h == nullptr)
        return "none";
    EXPECT_EQ(h->h_addrtype, AF_INET);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_NE(h->h_addr_list[0], nullptr);
    EXPECT_EQ(h->h_addr_list[1], nullptr);
    in_addr a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    return inet_ntoa(a);
}

const char* const kHosts = "# UPS hosts of the test\n"
                           "127.0.0.21   ups-hall3 ups3.example.test   # hall 3\n"
                           "  127.0.0.22\tups-hall4\n"
                           "127.0.0.23   UPS-Hall3\n"    // a second line for a known name: not used
                           "::1          ups-v6-only\n"  // another family: ignored
                           "127.0.0.24\n"                // an address without a name
                           "999.0.0.1    bad-address\n"  // not an address: ignored
                           "127.0.0.25   127.0.0.99\n";  // a name that looks like an address

}  // namespace

TEST_F(NameService, NamesFromTheHostsFile)
{
    useHosts(writeHosts("hosts", kHosts));
    struct {
        const char* name;
        const char* address;
    } const cases[] = {
        {"ups-hall3", "127.0.0.21"},
        {"UPS-HALL3", "127.0.0.21"},          // names are not case-sensitive
        {"ups3.example.test", "127.0.0.21"},  // an alias
        {"ups-hall4", "127.0.0.22"},          // blanks and tabs
        {"hall", "none"},                     // a comment's word is no name
        {"ups-v6-only", "none"},
        {"bad-address", "none"},
        {"127.0.0.99", "127.0.0.25"},  // the hosts file comes before dotted text
        {"127.0.0.7", "127.0.0.7"},    // dotted text as it stands
        {"localhost", "127.0.0.1"},    // the operating system's resolver
        {"no-such-host.invalid", "none"},
        {"", "none"},
        {"256.1.2.3.invalid", "none"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lookup(c.name), c.address) << c.name;
    }
    EXPECT_EQ(gethostbyname(nullptr), nullptr);
    EXPECT_EQ(gethostbyname(std::string(2000, 'a').c_str()), nullptr);
}

TEST_F(NameService, RecordNamesTheLineAndIsOverwrittenByTheNextCall)
{
    useHosts(writeHosts("hosts", kHosts));
    hostent* first = gethostbyname("ups3.example.test");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->h_name, "ups-hall3");
    ASSERT_NE(first->h_aliases[0], nullptr);
    EXPECT_STREQ(first->h_aliases[0], "ups3.example.test");
    EXPECT_EQ(first->h_aliases[1], nullptr);

    hostent* second = gethostbyname("127.0.0.8");
    EXPECT_EQ(second, first);
    EXPECT_STREQ(second->h_name, "127.0.0.8");
    EXPECT_EQ(second->h_aliases[0], nullptr);
}

TEST_F(NameService, WithoutAHostsFileOnlyTheResolverAnswers)
{
    EXPECT_EQ(lookup("ups-hall3"), "none");
    useHosts(folder_ + "/missing");
    EXPECT_EQ(lookup("ups-hall3"), "none");
    EXPECT_EQ(lookup("localhost"), "127.0.0.1");
}

TEST_F(NameService, AnotherHostsFileIsReadAtOnce)
{
    useHosts(writeHosts("one", "127.0.0.31 ups-a\n"));
    EXPECT_EQ(lookup("ups-a"), "127.0.0.31");
    useHosts(writeHosts("two", "127.0.0.32 ups-a\n"));
    EXPECT_EQ(lookup("ups-a"), "127.0.0.32");
}

// The file is looked at no more than once a second, at a turn's first
// lookup: a change is seen in the first turn after that second.
TEST_F(NameService, AChangedHostsFileIsReadAgain)
{
    std::string path = writeHosts("hosts", "127.0.0.41 ups-b\n");
    useHosts(path);
    EXPECT_EQ(lookup("ups-b"), "127.0.0.41");
    std::ofstream(path) << "127.0.0.42 ups-b ups-c\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    simplatform::endTurn();
    EXPECT_EQ(lookup("ups-b"), "127.0.0.42");
    EXPECT_EQ(lookup("ups-c"), "127.0.0.42");

    std::remove(path.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    simplatform::endTurn();
    EXPECT_EQ(lookup("ups-c"), "none") << "a removed file names nothing";
}

// The program asks once per recorded symbol for every trap: a repeated
// lookup, found or not, reads neither the hosts file nor the resolver's
// files again (read calls counted by the kernel, in /proc/self/io).
long readCalls()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long value = -1;
    while (io >> key >> value) {
        if (key == "syscr:")
            return value;
    }
    return -1;
}

TEST_F(NameService, RepeatedLookupsReadNothing)
{
    if (readCalls() < 0)
        GTEST_SKIP() << "no /proc/self/io";
    useHosts(writeHosts("hosts", kHosts));
    const int kLookups = 20000;
    for (const char* name : {"ups-hall3", "127.0.0.5", "localhost", "no-such-host.invalid"}) {
        gethostbyname(name);  // the first may read
        simplatform::endTurn();
        long before = readCalls();
        for (int i = 0; i < kLookups; ++i) {
            gethostbyname(name);
            if (i % 1000 == 0)
                simplatform::endTurn();
        }
        // A few reads if a cached answer expired during the loop, never
        // one per lookup.
        EXPECT_LT(readCalls() - before, 50) << name;
    }
}

// A hosts file over the cap is not read whole: none of its names are used,
// and standard error says why.
TEST_F(NameService, AnOversizedHostsFileGivesNoNames)
{
    std::string text = "127.0.0.51 ups-big\n#";
    text.resize((16u << 20) + 1, 'x');
    useHosts(writeHosts("big", text));
    testing::internal::CaptureStderr();
    std::string address = lookup("ups-big");
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(address, "none");
    EXPECT_NE(said.find("too large: more than 16777216 bytes"), std::string::npos) << said;
}
