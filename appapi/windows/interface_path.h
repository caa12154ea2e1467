// The keyboard's device-interface path as SetupAPI lists it.
#pragma once

namespace ovtm::appapi {

// The path of the first present interface of the keyboard's interface class as a heap string
// (free with std::free), or null when there is none.
char* FindKeyboardInterfacePath();

} // namespace ovtm::appapi
