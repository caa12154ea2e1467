// The notifier's decision whether it was started by the logon run entry: what it sees of a
// command line and where "-startup" still counts.
#include "startup_switch.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

using ovtm::notifier::CopyCommandLine;
using ovtm::notifier::HasStartupSwitch;
using ovtm::notifier::kCommandLineCopyChars;

bool Starts(const std::wstring& commandLine) {
    return HasStartupSwitch(CopyCommandLine(commandLine.c_str()));
}

// A command line whose text begins at index position: the program path padded with
// spaces, as a long path or many arguments would push it.
std::wstring WithSwitchAt(std::size_t position, const std::wstring& word = L"-startup") {
    std::wstring line = L"\"C:\\Program Files\\Melodix\\OvtmNtfy.exe\"";
    line.resize(position, L' ');
    return line + word;
}

TEST(NotifierStartupSwitch, FoundAnywhereInTheCommandLine) {
    EXPECT_TRUE(Starts(L"OvtmNtfy.exe -startup"));
    EXPECT_TRUE(Starts(L"-startup"));
    EXPECT_TRUE(Starts(L"\"C:\\x\\OvtmNtfy.exe\" -startup /quiet"));
    EXPECT_TRUE(Starts(L"OvtmNtfy.exe -startupnow")); // inside a longer word
    EXPECT_TRUE(Starts(L"OvtmNtfy.exe x-startup"));
    EXPECT_TRUE(Starts(L"C:\\-startup\\OvtmNtfy.exe")); // the program path counts too
}

TEST(NotifierStartupSwitch, OtherSpellingsDoNotCount) {
    EXPECT_FALSE(Starts(L"OvtmNtfy.exe"));
    EXPECT_FALSE(Starts(L"OvtmNtfy.exe -Startup"));
    EXPECT_FALSE(Starts(L"OvtmNtfy.exe -STARTUP"));
    EXPECT_FALSE(Starts(L"OvtmNtfy.exe /startup"));
    EXPECT_FALSE(Starts(L"OvtmNtfy.exe -start up"));
    EXPECT_FALSE(Starts(L""));
    EXPECT_FALSE(HasStartupSwitch(CopyCommandLine(nullptr)));
}

TEST(NotifierStartupSwitch, OnlyTheFirst255CharactersAreSearched) {
    // The switch's last letter at index 254 is the last character the copy keeps.
    EXPECT_TRUE(Starts(WithSwitchAt(247)));
    EXPECT_FALSE(Starts(WithSwitchAt(248))); // "-startu" survives the cut, "p" does not
    EXPECT_FALSE(Starts(WithSwitchAt(255))); // begins after the 255th character
    EXPECT_FALSE(Starts(WithSwitchAt(4000)));
}

TEST(NotifierStartupSwitch, CopyIsCutAndAlwaysTerminated) {
    const std::wstring shortLine = L"OvtmNtfy.exe -startup";
    EXPECT_EQ(std::wstring(CopyCommandLine(shortLine.c_str()).text), shortLine);

    const std::wstring exact(kCommandLineCopyChars - 1, L'a');
    EXPECT_EQ(std::wstring(CopyCommandLine(exact.c_str()).text), exact);

    const std::wstring longLine(5000, L'b');
    const auto copy = CopyCommandLine(longLine.c_str());
    EXPECT_EQ(copy.text[kCommandLineCopyChars - 1], L'\0');
    EXPECT_EQ(std::wcslen(copy.text), kCommandLineCopyChars - 1);
    EXPECT_EQ(std::wstring(copy.text), longLine.substr(0, kCommandLineCopyChars - 1));
}

} // namespace
