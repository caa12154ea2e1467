/* <usbdi.h>: the USB driver interface, URBs and the internal control codes together. */
#ifndef __USBDI_H__
#define __USBDI_H__

#include <usb.h>
#include <usbioctl.h>

#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xc0000000)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#endif
