/* The WDM surface of the host kernel: what a Windows kernel-mode driver includes as <wdm.h>.
   Types and names are those of Windows; the implementation lives in the host kernel library. */
#ifndef _WDMDDK_
#define _WDMDDK_

#include <ntdef.h>
#include <ntstatus.h>
#include <hostkernel/wdm_rtl.h>
#include <hostkernel/wdm_sync.h>
#include <hostkernel/wdm_io.h>

#endif
