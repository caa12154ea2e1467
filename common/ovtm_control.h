/* Control-device protocol shared by the filter and its user-mode clients:
   control codes, device and link names, and the fixed answers of the protocol. */
#ifndef OVTM_CONTROL_H
#define OVTM_CONTROL_H

/* All codes are device type 0x22 (FILE_DEVICE_UNKNOWN), FILE_ANY_ACCESS,
   functions 0x801..0x80F; the low two bits are the transfer method. */
#define OVTM_IOCTL_DEVICE_TYPE 0x22u
#define OVTM_IOCTL_FIRST_FUNCTION 0x801u
#define OVTM_IOCTL_LAST_FUNCTION 0x80Fu

#define IOCTL_OVTM_COMMAND_C1 0x222007u          /* METHOD_NEITHER: send device command 0xC1 */
#define IOCTL_OVTM_COMMAND_C2 0x22200Bu          /* METHOD_NEITHER: send device command 0xC2 */
#define IOCTL_OVTM_GET_REVISION 0x22200Eu        /* METHOD_OUT_DIRECT: 1 byte, device revision */
#define IOCTL_OVTM_UNSUPPORTED_804 0x222013u     /* METHOD_NEITHER: always refused */
#define IOCTL_OVTM_UNSUPPORTED_805 0x222017u     /* METHOD_NEITHER: always refused */
#define IOCTL_OVTM_SET_SWITCHES 0x22201Au        /* METHOD_OUT_DIRECT: switch bits, state */
#define IOCTL_OVTM_GET_VERSION 0x22201Du         /* METHOD_IN_DIRECT: u32 protocol version */
#define IOCTL_OVTM_QUERY_C4 0x222022u            /* METHOD_OUT_DIRECT: u32 answer to 0xC4 */
#define IOCTL_OVTM_QUERY_C3 0x222026u            /* METHOD_OUT_DIRECT: u32 answer to 0xC3 */
#define IOCTL_OVTM_GET_DEVICE_NAME 0x22202Au     /* METHOD_OUT_DIRECT: 128-byte name */
#define IOCTL_OVTM_READ_EVENTS 0x22202Eu         /* METHOD_OUT_DIRECT: event record bytes */
#define IOCTL_OVTM_SET_KEY_MASK 0x222032u        /* METHOD_OUT_DIRECT: mask index, state */
#define IOCTL_OVTM_SET_VELOCITY_CURVE 0x222035u  /* METHOD_IN_DIRECT: 128-byte curve */
#define IOCTL_OVTM_CAPTURE 0x222039u             /* METHOD_IN_DIRECT: 1 acquire, 2 release */
#define IOCTL_OVTM_RELEASE_ALL_READERS 0x22203Fu /* METHOD_NEITHER */

/* Operations carried in byte 0 of IOCTL_OVTM_CAPTURE's input buffer. */
#define OVTM_CAPTURE_ACQUIRE 1u
#define OVTM_CAPTURE_RELEASE 2u

/* Answer of IOCTL_OVTM_GET_VERSION. */
#define OVTM_PROTOCOL_VERSION 301u

/* Answer of IOCTL_OVTM_GET_DEVICE_NAME: this text, NUL, zero bytes up to the full size.
   It is also the name of the MIDI input device. */
#define OVTM_DEVICE_NAME_TEXT "Orvane Tessaro Melodix"
#define OVTM_DEVICE_NAME_SIZE 128u

/* Size of the velocity curve of IOCTL_OVTM_SET_VELOCITY_CURVE and of the key mask table. */
#define OVTM_VELOCITY_CURVE_SIZE 128u
#define OVTM_KEY_MASK_COUNT 17u

/* Control-device names, formatted with the keyboard's number (1..8, or 0). */
#define OVTM_CONTROL_DEVICE_NAME_FORMAT "\\Device\\OvtsMelodixDev#%d"
#define OVTM_CONTROL_LINK_NAME_FORMAT "\\DosDevices\\OvtsMelodixSymLk#%d"
#define OVTM_MAX_CONTROL_DEVICES 8u

/* What every user-mode client opens: the first keyboard's control device. */
#define OVTM_CONTROL_PATH_A "\\\\.\\OvtsMelodixSymLk#1"
#define OVTM_CONTROL_PATH_W L"\\\\.\\OvtsMelodixSymLk#1"

/* Access rights of the control device: system all; administrators read, write, execute;
   everyone read and write; restricted code read. */
#define OVTM_CONTROL_DEVICE_SDDL "D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)"

/* Reads that user-mode readers issue, in bytes (50 records). */
#define OVTM_READ_CHUNK_SIZE 200u

#endif
