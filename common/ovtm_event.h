/* The 4-byte event record that the filter appends to client rings and its code table.
   Read as a little-endian 32-bit value whose low byte is a MIDI status byte. */
#ifndef OVTM_EVENT_H
#define OVTM_EVENT_H

/* Key record: FF 00 <code> 05. A button's press has an even code, its release code + 1. */
#define OVTM_KEY_RECORD_BASE 0x050000FFu
#define OVTM_KEY_RECORD(code) (OVTM_KEY_RECORD_BASE | ((unsigned int)(code) << 16))
#define OVTM_KEY_RECORD_MARK 0xFFu /* low byte of every key record */
#define OVTM_KEY_CODE_OF(record) (((unsigned int)(record) >> 16) & 0xFFu)

/* Note record: 90|80 <note> <velocity> 00, a MIDI short message on channel 1. */
#define OVTM_NOTE_ON_STATUS 0x90u
#define OVTM_NOTE_OFF_STATUS 0x80u
#define OVTM_NOTE_RECORD(status, note, velocity)                                                   \
    ((unsigned int)(status) | ((unsigned int)(note) << 8) | ((unsigned int)(velocity) << 16))
#define OVTM_LOWEST_NOTE 40u /* key number 0; key 63 is note 103 */

/* Codes that some part of the package acts on. Every other code is passed on as it is. */
#define OVTM_KEY_OCTAVE_UP 0x08u       /* report 4 bit 4 */
#define OVTM_KEY_LED_TOGGLE 0x10u      /* report 4 bit 20; OvtmApi toggles LED bit 8 */
#define OVTM_KEY_SUSTAIN 0x34u         /* report 1 bit 18 */
#define OVTM_KEY_OCTAVE_DOWN 0x3Cu     /* report 1 bit 14 */
#define OVTM_KEY_PRESS_ONLY_BIT8 0x48u /* report 1 bit 8, press only */
#define OVTM_KEY_PRESS_ONLY_BIT7 0x49u /* report 1 bit 7, press only: not a release of 0x48 */

/* Status notices: never in a release form. */
#define OVTM_NOTICE_DEVICE_REMOVED 0x5Eu   /* to every client at surprise removal */
#define OVTM_NOTICE_DEVICE_ARRIVED 0x5Fu   /* made up by the application library, not the filter */
#define OVTM_NOTICE_CAPTURE_ACQUIRED 0x60u /* to the acquiring client only */
#define OVTM_NOTICE_CAPTURE_RELEASED 0x61u /* to the releasing client only */

/* The notices' records, as clients read them: 0x055E00FF, 0x055F00FF, 0x056000FF, 0x056100FF. */
#define OVTM_RECORD_DEVICE_REMOVED OVTM_KEY_RECORD(OVTM_NOTICE_DEVICE_REMOVED)
#define OVTM_RECORD_DEVICE_ARRIVED OVTM_KEY_RECORD(OVTM_NOTICE_DEVICE_ARRIVED)
#define OVTM_RECORD_CAPTURE_ACQUIRED OVTM_KEY_RECORD(OVTM_NOTICE_CAPTURE_ACQUIRED)
#define OVTM_RECORD_CAPTURE_RELEASED OVTM_KEY_RECORD(OVTM_NOTICE_CAPTURE_RELEASED)

#define OVTM_EVENT_RECORD_SIZE 4u

#endif
