// Settings read on every turn: one look at the environment per turn.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/settings.h"

using simplatform::Setting;
using simplatform::settingName;
using simplatform::settingValue;

TEST(Settings, ATurnSeesTheEnvironmentAsItWasAtItsFirstRead)
{
    const std::string quiet = settingName(Setting::Quiet);
    const std::string longer = std::string(settingName(Setting::DriveC)) + "_LONGER";
    setenv(quiet.c_str(), "one", 1);
    setenv(settingName(Setting::Hosts), "", 1);
    unsetenv(settingName(Setting::DriveC));
    setenv(longer.c_str(), "x", 1);
    simplatform::endTurn();
    EXPECT_STREQ(settingValue(Setting::Quiet), "one");
    EXPECT_EQ(settingValue(Setting::Hosts), nullptr) << "empty counts as unset";
    EXPECT_EQ(settingValue(Setting::DriveC), nullptr) << "a longer name is not the setting's";

    setenv(quiet.c_str(), "two", 1);
    EXPECT_STREQ(settingValue(Setting::Quiet), "one") << "the rest of the turn";
    simplatform::endTurn();
    EXPECT_STREQ(settingValue(Setting::Quiet), "two") << "the next turn";

    // More than one turn's copy holds: each value is still found.
    const std::string huge(20000, 'h');
    setenv(settingName(Setting::DriveC), huge.c_str(), 1);
    simplatform::endTurn();
    EXPECT_EQ(settingValue(Setting::DriveC), huge);
    EXPECT_STREQ(settingValue(Setting::Quiet), "two");

    unsetenv(quiet.c_str());
    unsetenv(longer.c_str());
    unsetenv(settingName(Setting::Hosts));
    unsetenv(settingName(Setting::DriveC));
    simplatform::endTurn();
    EXPECT_EQ(settingValue(Setting::Quiet), nullptr);
}
