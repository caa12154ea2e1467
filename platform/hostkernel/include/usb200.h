/* <usb200.h>: the USB 2.0 descriptor definitions, kept in <usbspec.h>. */
#include <usbspec.h>
