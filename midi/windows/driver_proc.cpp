// DriverProc: the installable-driver procedure. The driver has no configuration and nothing to
// do at load or unload; it only remembers the driver handle that came with the open.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include "driver_state.h"

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message, LPARAM lParam1,
                                     LPARAM lParam2) {
    switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
        return 1;
    case DRV_OPEN:
        ovtm::midi::State().driverHandle = driver;
        return 1;
    case DRV_CONFIGURE:
    case DRV_QUERYCONFIGURE:
        return 0;
    case DRV_INSTALL:
    case DRV_REMOVE:
        return DRVCNF_RESTART;
    default:
        return DefDriverProc(driverId, driver, message, lParam1, lParam2);
    }
}
