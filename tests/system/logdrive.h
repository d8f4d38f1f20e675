// A temporary drive C: with its temp folder, and the debug log switched on,
// for tests that read back what the program logs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "simplatform/runtime/handover.h"

class LogDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kelvorov-drive-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        drive_ = pattern;
        std::filesystem::create_directories(drive_ + "/temp");
        setenv("SIMPLATFORM_DRIVE_C", drive_.c_str(), 1);
        setenv("SIMPLATFORM_QUIET", "1", 1);
        simplatform::endTurn();  // settings are read once per turn
        debuglogenabled = 1;
    }
    void TearDown() override
    {
        debuglogenabled = 0;
        unsetenv("SIMPLATFORM_QUIET");
        simplatform::endTurn();
        std::filesystem::remove_all(drive_);
    }

    std::string logPath() const { return drive_ + "/temp/kelvorov.txt"; }
    std::string log() const
    {
        std::ifstream in(logPath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The log's messages in order: each record is "<time>\n: <message>\n".
    std::vector<std::string> messages() const
    {
        static const std::regex time("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
        std::vector<std::string> lines;
        std::istringstream stream(log());
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(line);
        }
        std::vector<std::string> found;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (std::regex_match(lines[i], time) && i + 1 < lines.size() && lines[i + 1].rfind(": ", 0) == 0) {
                found.push_back(lines[++i].substr(2));
            } else if (!found.empty()) {
                found.back() += "\n" + lines[i];
            }
        }
        return found;
    }

    std::string drive_;
};
