/* <ntddk.h>: the driver development kit's main header; on this kernel all of it is in <wdm.h>. */
#ifndef _NTDDK_
#define _NTDDK_
#include <wdm.h>
#endif
