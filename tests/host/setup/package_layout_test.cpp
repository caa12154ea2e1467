// Where the setup program finds its package and what goes into each system folder.
#include "package_layout.h"

#include <gtest/gtest.h>

using namespace ovtm::setup;

TEST(PackageLayout, ThePackageIsTheFolderAboveTheProgramsOwn) {
    EXPECT_EQ(PackageFolderOf("C:\\pkg\\amd64\\OvtmSetup.exe"), "C:\\pkg");
    EXPECT_EQ(PackageFolderOf("\\\\server\\share\\melodix\\x86\\OvtmSetup.exe"),
              "\\\\server\\share\\melodix");
    EXPECT_EQ(PackageFolderOf("C:\\amd64\\OvtmSetup.exe"), "C:\\");
    EXPECT_EQ(PackageFolderOf("OvtmSetup.exe"), "");
    EXPECT_EQ(PackageFolderOf("amd64\\OvtmSetup.exe"), "");
}

TEST(PackageLayout, TheNotifierGoesOnlyToTheSystemsOwnWidth) {
    EXPECT_EQ(SystemFolderFiles(true), (std::vector<std::string>{"OvtmMidi.dll", "OvtmApi.dll",
                                                                 "OvtmAddf.dll", "OvtmNtfy.exe"}));
    EXPECT_EQ(SystemFolderFiles(false),
              (std::vector<std::string>{"OvtmMidi.dll", "OvtmApi.dll", "OvtmAddf.dll"}));
    EXPECT_EQ(NotifierCommand("C:\\Windows\\system32"),
              "\"C:\\Windows\\system32\\OvtmNtfy.exe\" -startup");
}
