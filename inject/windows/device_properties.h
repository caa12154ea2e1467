// Reading a device's registry property whole, whatever its length.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "device_match.h"

#include <optional>

// The property's bytes as SetupAPI reports them; nullopt when it cannot be read.
std::optional<ovtm::inject::PropertyBytes>
ReadDeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property);
