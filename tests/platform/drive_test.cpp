// Drive paths mapped onto the folder that stands for drive C:.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "simplatform/runtime/handover.h"

namespace {

namespace fs = std::filesystem;

class DrivePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/drive_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        drive_ = root_ + "/drive";
        fs::create_directories(drive_ + "/temp/mixed");
        setenv("SIMPLATFORM_DRIVE_C", drive_.c_str(), 1);
        simplatform::endTurn();  // settings are read once per turn
    }
    void TearDown() override
    {
        unsetenv("SIMPLATFORM_DRIVE_C");
        simplatform::endTurn();
        fs::remove_all(root_);
    }

    // Writes the path itself into the file it names; false when it would not open.
    static bool writeThrough(const std::string& path, const char* mode = "w")
    {
        return platformwritefile(path.c_str(), mode, path.c_str(), path.size()) == 0;
    }
    static std::string readAll(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string root_;
    std::string drive_;
};

TEST_F(DrivePath, DrivePathsLandUnderTheDriveFolder)
{
    struct {
        const char* path;
        const char* expected;  // under the drive folder
    } const cases[] = {
        {"c:\\temp\\kelvorov.txt", "temp/kelvorov.txt"},
        {"C:\\temp\\upper.txt", "temp/upper.txt"},
        {"c:/temp/slashes.txt", "temp/slashes.txt"},
        {"c:\\temp/mixed\\both.txt", "temp/mixed/both.txt"},
        {"c:\\temp\\\\doubled.txt", "temp/doubled.txt"},
        {"c:\\.\\temp\\mixed\\..\\dots.txt", "temp/dots.txt"},
        // ".." at the root stays at the root, as on Windows: no way out.
        {"c:\\..\\..\\temp\\..\\..\\root.txt", "root.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(writeThrough(c.path));
        EXPECT_EQ(readAll(drive_ + "/" + c.expected), c.path);
    }
    EXPECT_FALSE(fs::exists(root_ + "/root.txt"));
}

TEST_F(DrivePath, NoFolderIsCreated)
{
    EXPECT_FALSE(writeThrough("c:\\missing\\kelvorov.txt"));
    EXPECT_FALSE(fs::exists(drive_ + "/missing"));
    fs::remove_all(drive_);
    EXPECT_FALSE(writeThrough("c:\\temp\\kelvorov.txt", "a"));
    EXPECT_FALSE(fs::exists(drive_));
}

TEST_F(DrivePath, OnlyRegularFilesAreWrittenAndNothingWaits)
{
    // A folder, and a FIFO with and without a reader, in the file's place:
    // refused at once, nothing written.
    fs::create_directories(drive_ + "/temp/folder.txt");
    EXPECT_FALSE(writeThrough("c:\\temp\\folder.txt", "a"));
    std::string fifo = drive_ + "/temp/fifo.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(writeThrough("c:\\temp\\fifo.txt", "w"));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(writeThrough("c:\\temp\\fifo.txt", "a"));
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);  // end of file: no writer, nothing sent
    close(reader);
    EXPECT_TRUE(fs::is_fifo(fifo));

    // A regular file: "w" begins it anew, "a" appends, byte for byte.
    ASSERT_TRUE(writeThrough("c:\\temp\\plain.txt", "a"));
    ASSERT_TRUE(writeThrough("c:\\temp\\plain.txt", "w"));
    ASSERT_TRUE(writeThrough("c:\\temp\\plain.txt", "a"));
    EXPECT_EQ(readAll(drive_ + "/temp/plain.txt"), "c:\\temp\\plain.txtc:\\temp\\plain.txt");
}

// Read at a turn's first drive path, so a change is seen from the next turn.
TEST_F(DrivePath, TheFolderIsLookedUpEachTurn)
{
    ASSERT_TRUE(writeThrough("c:\\temp\\first.txt"));
    std::string other = root_ + "/other";
    fs::create_directories(other + "/temp");
    setenv("SIMPLATFORM_DRIVE_C", other.c_str(), 1);
    simplatform::endTurn();
    ASSERT_TRUE(writeThrough("c:\\temp\\second.txt"));
    EXPECT_TRUE(fs::exists(drive_ + "/temp/first.txt"));
    EXPECT_TRUE(fs::exists(other + "/temp/second.txt"));

    // Unset: the default folder under the home folder.
    std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    fs::create_directories(root_ + "/.simplatform/drive_c/temp");
    unsetenv("SIMPLATFORM_DRIVE_C");
    setenv("HOME", root_.c_str(), 1);
    simplatform::endTurn();
    bool written = writeThrough("c:\\temp\\third.txt");
    setenv("HOME", home.c_str(), 1);
    ASSERT_TRUE(written);
    EXPECT_TRUE(fs::exists(root_ + "/.simplatform/drive_c/temp/third.txt"));
}

TEST_F(DrivePath, OtherPathsAreUsedAsTheyStand)
{
    // A backslash outside a drive path is part of the file's name.
    std::string plain = root_ + "/plain\\name.txt";
    ASSERT_TRUE(writeThrough(plain));
    EXPECT_EQ(readAll(plain), plain);
    // Only drive C: is mapped; "c:" without a separator is no drive path:
    // both name files in the current folder.
    std::string here = fs::current_path();
    fs::current_path(root_);
    bool written = writeThrough("d:\\temp\\kelvorov.txt") && writeThrough("c:temp");
    fs::current_path(here);
    ASSERT_TRUE(written);
    EXPECT_EQ(readAll(root_ + "/d:\\temp\\kelvorov.txt"), "d:\\temp\\kelvorov.txt");
    EXPECT_EQ(readAll(root_ + "/c:temp"), "c:temp");
}

}  // namespace
