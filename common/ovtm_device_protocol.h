/* What the keyboard and the filter say to each other on the wire: the report ids on the music
   pipe, the device commands and their report, and the lock-key light request. The filter, the
   test keyboards of both tiers and the tools all take their numbers from here. C, so that the
   test-only kernel drivers can include it too. */
#ifndef OVTM_DEVICE_PROTOCOL_H
#define OVTM_DEVICE_PROTOCOL_H

/* Reports the keyboard sends on the music pipe (endpoint 0x82), by their first byte. */
#define OVTM_REPORT_BUTTONS1 1u /* id plus a 24-bit button bitmap */
#define OVTM_REPORT_BUTTONS2 2u /* id plus an 8-bit button bitmap */
#define OVTM_REPORT_NOTES 3u    /* music-key slots, two to a four-byte group */
#define OVTM_REPORT_BUTTONS4 4u /* id plus a 24-bit button bitmap */
#define OVTM_REPORT_REPLY 5u    /* the answer to a query command */

/* A slot of report 3: the first byte says what happened (its two top bits) to which key
   (0..63), the second carries the velocity. */
#define OVTM_NOTE_SLOT_ACTION_MASK 0xC0u
#define OVTM_NOTE_SLOT_PRESS 0x40u
#define OVTM_NOTE_SLOT_RELEASE 0x80u
#define OVTM_NOTE_SLOT_KEY_MASK 0x3Fu

/* Bytes a report carries at least to count as its kind (id included). */
#define OVTM_REPORT_BUTTONS1_LENGTH 4u
#define OVTM_REPORT_BUTTONS2_LENGTH 2u
#define OVTM_REPORT_BUTTONS4_LENGTH 4u
#define OVTM_REPORT_REPLY_LENGTH 6u /* id, command code, 32-bit value (little-endian) */

/* Device commands go out on endpoint 0x03 as report 6: id, kind 1, command code. */
#define OVTM_REPORT_COMMAND 6u
#define OVTM_COMMAND_KIND 1u
#define OVTM_COMMAND_REPORT_LENGTH 3u

#define OVTM_COMMAND_C1 0xC1u
#define OVTM_COMMAND_C2 0xC2u
#define OVTM_QUERY_C3 0xC3u /* answered by report 5 */
#define OVTM_QUERY_C4 0xC4u /* answered by report 5 */
#define OVTM_COMMAND_SWITCH_ON 0xC5u
#define OVTM_COMMAND_SWITCH_OFF 0xC6u

/* The lock-key lights: HID class request SET_REPORT, output report 0, one byte, to the typing
   keyboard's interface 0. */
#define OVTM_LIGHT_REQUEST_TYPE 0x22u /* host to device, class, interface */
#define OVTM_LIGHT_REQUEST 0x09u      /* SET_REPORT */
#define OVTM_LIGHT_VALUE 0x0200u      /* output report, id 0 */
#define OVTM_LIGHT_INTERFACE 0u
#define OVTM_LIGHT_LENGTH 1u

#endif
