// The keyboard's device-interface GUID as the filter registers it.
#ifndef OVTM_KEYBOARD_INTERFACE_H
#define OVTM_KEYBOARD_INTERFACE_H

#include <ntddk.h>

extern const GUID KeyboardInterfaceGuid;

#endif
