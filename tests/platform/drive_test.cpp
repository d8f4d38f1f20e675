// Drive paths mapped onto the folder that stands for drive C:.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"

namespace {

namespace fs = std::filesystem;

std::string makeTempFolder()
{
    char pattern[] = "/tmp/drive_test.XXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? made : "";
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

class DrivePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = makeTempFolder();
        ASSERT_FALSE(root_.empty());
        drive_ = root_ + "/drive";
        fs::create_directories(drive_ + "/temp/mixed");
    }
    void TearDown() override { fs::remove_all(root_); }

    // Writes text through platformfopen; false when it would not open.
    static bool writeThrough(const char* path, const std::string& text)
    {
        FILE* f = platformfopen(path, "w");
        if (f == nullptr) {
            return false;
        }
        fputs(text.c_str(), f);
        fclose(f);
        return true;
    }

    std::string root_;
    std::string drive_;
};

struct MappingCase {
    const char* path;
    const char* expected;  // under the drive folder
};

TEST_F(DrivePath, DrivePathsLandUnderTheDriveFolder)
{
    ScopedEnv env("SIMPLATFORM_DRIVE_C", drive_.c_str());
    const MappingCase cases[] = {
        {"c:\\temp\\kelvorov.txt", "temp/kelvorov.txt"},
        {"C:\\temp\\upper.txt", "temp/upper.txt"},
        {"c:/temp/slashes.txt", "temp/slashes.txt"},
        {"c:\\temp/mixed\\both.txt", "temp/mixed/both.txt"},
        {"c:\\temp\\\\doubled.txt", "temp/doubled.txt"},
        {"c:\\.\\temp\\.\\dots.txt", "temp/dots.txt"},
        {"c:\\temp\\mixed\\..\\up.txt", "temp/up.txt"},
        // ".." at the root stays at the root, as on Windows: no way out.
        {"c:\\..\\..\\temp\\..\\..\\root.txt", "root.txt"},
    };
    for (const MappingCase& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(writeThrough(c.path, c.path));
        EXPECT_EQ(readAll(drive_ + "/" + c.expected), c.path);
    }
    EXPECT_FALSE(fs::exists(root_ + "/root.txt"));
}

TEST_F(DrivePath, NoFolderIsCreated)
{
    ScopedEnv env("SIMPLATFORM_DRIVE_C", drive_.c_str());
    EXPECT_EQ(platformfopen("c:\\missing\\kelvorov.txt", "w"), nullptr);
    EXPECT_FALSE(fs::exists(drive_ + "/missing"));

    fs::remove_all(drive_);
    EXPECT_EQ(platformfopen("c:\\temp\\kelvorov.txt", "a"), nullptr);
    EXPECT_FALSE(fs::exists(drive_));
}

TEST_F(DrivePath, TheVariableIsReadOnEveryCall)
{
    std::string other = root_ + "/other";
    fs::create_directories(other + "/temp");
    {
        ScopedEnv env("SIMPLATFORM_DRIVE_C", drive_.c_str());
        ASSERT_TRUE(writeThrough("c:\\temp\\log.txt", "first"));
    }
    {
        ScopedEnv env("SIMPLATFORM_DRIVE_C", other.c_str());
        ASSERT_TRUE(writeThrough("c:\\temp\\log.txt", "second"));
    }
    EXPECT_EQ(readAll(drive_ + "/temp/log.txt"), "first");
    EXPECT_EQ(readAll(other + "/temp/log.txt"), "second");
}

TEST_F(DrivePath, DefaultFolderIsUnderHome)
{
    fs::create_directories(root_ + "/.simplatform/drive_c/temp");
    ScopedEnv drive("SIMPLATFORM_DRIVE_C", nullptr);
    ScopedEnv home("HOME", root_.c_str());
    ASSERT_TRUE(writeThrough("c:\\temp\\kelvorov.txt", "home"));
    EXPECT_EQ(readAll(root_ + "/.simplatform/drive_c/temp/kelvorov.txt"), "home");
}

TEST_F(DrivePath, OtherPathsAreUsedAsTheyStand)
{
    ScopedEnv env("SIMPLATFORM_DRIVE_C", drive_.c_str());
    // A backslash outside a drive path is part of the file's name.
    std::string plain = root_ + "/plain\\name.txt";
    ASSERT_TRUE(writeThrough(plain.c_str(), "plain"));
    EXPECT_EQ(readAll(plain), "plain");
    EXPECT_FALSE(fs::exists(drive_ + "/plain"));

    // Only drive C: is mapped; "c:" without a separator is no drive path.
    EXPECT_EQ(platformfopen("d:\\temp\\kelvorov.txt", "r"), nullptr);
    EXPECT_EQ(platformfopen("c:temp", "r"), nullptr);

    // Modes pass through: reading a file that is not there fails.
    EXPECT_EQ(platformfopen("c:\\temp\\absent.txt", "r"), nullptr);
}

}  // namespace
