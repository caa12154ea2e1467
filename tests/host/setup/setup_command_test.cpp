// The setup program's command word.
#include "setup_command.h"

#include <gtest/gtest.h>

using namespace ovtm::setup;

TEST(SetupCommand, TheThreeWordsInAnyLetterCase) {
    EXPECT_EQ(ParseSetupCommand({"install"}), SetupCommand::Install);
    EXPECT_EQ(ParseSetupCommand({"UnInstall"}), SetupCommand::Uninstall);
    EXPECT_EQ(ParseSetupCommand({"STATUS"}), SetupCommand::Status);
}

TEST(SetupCommand, AnythingElseIsRefused) {
    EXPECT_EQ(ParseSetupCommand({}), SetupCommand::Invalid);
    EXPECT_EQ(ParseSetupCommand({"install", "now"}), SetupCommand::Invalid);
    EXPECT_EQ(ParseSetupCommand({"-install"}), SetupCommand::Invalid);
    EXPECT_EQ(ParseSetupCommand({""}), SetupCommand::Invalid);
    EXPECT_EQ(ParseSetupCommand({"installs"}), SetupCommand::Invalid);
}
