/* <wdf.h>: the framework API that our KMDF-model drivers call. Declared over WDM types only,
   so it compiles with the host kernel's <wdm.h> and with the system DDK headers alike; every
   entry point is a plain function of our framework library. */
#ifndef _WDF_H_
#define _WDF_H_

#include <wdm.h>

#include <wdftypes.h>
#include <wdfobject.h>
#include <wdfsync.h>
#include <wdfdriver.h>
#include <wdfdevice.h>
#include <wdffileobject.h>
#include <wdfio.h>
#include <wdfrequest.h>
#include <wdfiotarget.h>
#include <wdfworkitem.h>

#endif
