// Putting the filter into the music interface's filter list: whether an instance still lacks
// its list, and the start of the injection command through rundll32.
#pragma once

#include <windows.h>

namespace ovtm::appapi {

// True when an instance of the music interface in the registry has no "LowerFilters" value.
bool NeedsInjection();

// Starts the system directory's rundll32 with its OvtmAddf and the injection command, in that
// directory; neither waited for nor checked.
void RunInjection(HWND window);

} // namespace ovtm::appapi
