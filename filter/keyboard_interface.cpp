// Definition of the keyboard's device-interface GUID, shared with the user-mode parts.
#include "keyboard_interface.h"

#include "ovtm_identity.h"

const GUID KeyboardInterfaceGuid = OVTM_INTERFACE_GUID_INIT;
