/* <usb100.h>: the USB 1.0 descriptor definitions, kept in <usbspec.h>. */
#include <usbspec.h>
