// Messages to the MIDI client through DriverCallback: short messages, returned buffers and the
// state notifications of the private channel.
#ifndef OVTM_MIDI_CLIENT_CALLBACK_H
#define OVTM_MIDI_CLIENT_CALLBACK_H

#include <windows.h>

#include "state_notification.h"

namespace ovtm::midi {

// DriverCallback with the recorded target, flags, handle and instance.
void NotifyClient(UINT message, DWORD_PTR parameter1, DWORD_PTR parameter2);

// MIM_DATA, unless the client gave no callback target.
void DeliverShortMessage(DWORD message, DWORD timestamp);

// A notification as MIM_LONGDATA (only while the client enabled them). A function callback
// runs before DriverCallback returns and gets a header on this thread's stack; a posted
// callback is looked at later, so the bytes go into the client's oldest queued buffer
// instead, or nowhere when it has none that is large enough.
void DeliverNotification(const Notification& notification, DWORD timestamp);

} // namespace ovtm::midi

#endif
