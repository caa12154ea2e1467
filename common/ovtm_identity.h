/* Who the keyboard is: USB ids, the texts by which user mode recognises it, and the
   device-interface GUID that the filter registers and every user-mode part watches. */
#ifndef OVTM_IDENTITY_H
#define OVTM_IDENTITY_H

#define OVTM_USB_VENDOR_ID 0x5E3Au
#define OVTM_USB_PRODUCT_ID 0x1C07u

/* Endpoints of the composite device. */
#define OVTM_ENDPOINT_KEYBOARD_IN 0x81u /* interface 0, the typing keyboard */
#define OVTM_ENDPOINT_MUSIC_IN 0x82u    /* interface 1, the music pipe */
#define OVTM_ENDPOINT_COMMAND_OUT 0x03u /* interface 1, device commands */

/* Searched for in device-interface names (case-sensitive). */
#define OVTM_INTERFACE_NAME_MARK_A "Vid_5e3a&Pid_1c07"
#define OVTM_INTERFACE_NAME_MARK_W L"Vid_5e3a&Pid_1c07"

/* The music interface as the registry names it, and as the application library passes it
   to the injection command. */
#define OVTM_MUSIC_INTERFACE_ID "USB\\Vid_5e3a&Pid_1c07&MI_01"
#define OVTM_MUSIC_INTERFACE_HARDWARE_ID "USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01"

/* Service name of the filter. */
#define OVTM_FILTER_SERVICE_A "OvtmFilt"
#define OVTM_FILTER_SERVICE_W L"OvtmFilt"

/* Device-interface GUID of the keyboard: {f39c84da-8cba-4a11-a7bb-a17d5d250664}.
   Spelled as initialiser parts so that kernel and user builds can each declare it
   with their own GUID type (DEFINE_GUID or a plain initialiser). */
#define OVTM_INTERFACE_GUID_PARTS                                                                  \
    0xf39c84da, 0x8cba, 0x4a11, 0xa7, 0xbb, 0xa1, 0x7d, 0x5d, 0x25, 0x06, 0x64
/* clang-format off */
#define OVTM_INTERFACE_GUID_INIT \
    { 0xf39c84da, 0x8cba, 0x4a11, { 0xa7, 0xbb, 0xa1, 0x7d, 0x5d, 0x25, 0x06, 0x64 } }
/* clang-format on */
#define OVTM_INTERFACE_GUID_TEXT "{f39c84da-8cba-4a11-a7bb-a17d5d250664}"

#endif
