// The device INF in the driver store and on the keyboards: installing it, finding where the
// system published it, taking it out again with the filter from every music interface's list.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "step_runner.h"

namespace ovtm::setup {

// The INF names the system published the package under (oemNN.inf), found by the package's
// catalog name among the INF folder's oem*.inf files.
std::vector<std::string> PublishedPackageInfs();

// Puts the INF into the driver store and installs it on the keyboards present. No keyboard
// present is no failure: the system installs the stored package when one is plugged in.
// *newlyPublished is true when no copy was in the store before.
StepResult InstallDriverPackage(const std::string& infPath, bool* newlyPublished);

// Takes every published copy of the package out of the driver store.
StepResult RemoveDriverPackage();

// Takes the filter out of the lower filter list of every instance of the music interface,
// present or not, except those in keep, leaving other filters where they are.
StepResult RemoveFilterFromKeyboards(const std::set<std::string>& keep = {});

// The instance ids of the music interfaces whose list names the filter.
std::set<std::string> KeyboardsWithFilter();

// Whether the filter's service exists.
bool FilterServiceExists();

// Deletes the filter's service when the system created it from the stored package (its image
// lies in the driver store); a running one goes once no keyboard's stack holds the filter. A
// service set up otherwise is left alone.
StepResult RemoveStoreFilterService();

// "N keyboard(s), M with the filter": instances of the music interface and how many list it.
std::string KeyboardFilterSummary(bool* allFiltered);

} // namespace ovtm::setup
