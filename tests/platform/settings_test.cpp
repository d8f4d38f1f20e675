// Settings read on every turn: one look at the environment per turn.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/settings.h"

using simplatform::settingValue;

TEST(Settings, ATurnSeesTheEnvironmentAsItWasAtItsFirstRead)
{
    setenv("SIMPLATFORM_TEST_A", "one", 1);
    setenv("SIMPLATFORM_TEST_EMPTY", "", 1);
    simplatform::endTurn();
    EXPECT_STREQ(settingValue("SIMPLATFORM_TEST_A"), "one");
    EXPECT_EQ(settingValue("SIMPLATFORM_TEST_EMPTY"), nullptr) << "empty counts as unset";
    EXPECT_EQ(settingValue("SIMPLATFORM_TEST"), nullptr) << "a prefix of a name is no name";

    setenv("SIMPLATFORM_TEST_A", "two", 1);
    EXPECT_STREQ(settingValue("SIMPLATFORM_TEST_A"), "one") << "the rest of the turn";
    simplatform::endTurn();
    EXPECT_STREQ(settingValue("SIMPLATFORM_TEST_A"), "two") << "the next turn";

    // More of the platform's variables than one turn's copy holds: each is
    // still found.
    for (int i = 0; i < 40; ++i) {
        setenv(("SIMPLATFORM_TEST_" + std::to_string(i)).c_str(), std::to_string(i).c_str(), 1);
    }
    simplatform::endTurn();
    EXPECT_STREQ(settingValue("SIMPLATFORM_TEST_39"), "39");
    EXPECT_STREQ(settingValue("SIMPLATFORM_TEST_A"), "two");

    for (int i = 0; i < 40; ++i) {
        unsetenv(("SIMPLATFORM_TEST_" + std::to_string(i)).c_str());
    }
    unsetenv("SIMPLATFORM_TEST_A");
    unsetenv("SIMPLATFORM_TEST_EMPTY");
    simplatform::endTurn();
    EXPECT_EQ(settingValue("SIMPLATFORM_TEST_A"), nullptr);
}
