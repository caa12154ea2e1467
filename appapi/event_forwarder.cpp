// The event forwarder.
#include "event_forwarder.h"

#include "control_arguments.h"
#include "ovtm_event.h"

namespace ovtm::appapi {

void EventForwarder::Forward(std::uint32_t value, ForwardTarget& target) {
    switch (value) {
    case OVTM_KEY_RECORD(OVTM_KEY_LED_TOGGLE):
        // The button's own light: toggled here, then the press goes on like any other.
        target.SetLeds(kLed8Bit, target.Led8On() ? 0u : 1u);
        target.Post(value);
        return;
    case OVTM_RECORD_CAPTURE_ACQUIRED:
        // Several MIDI clients may hold captures; the application sees only the first.
        if (captureCount_.fetch_add(1) + 1 == 1) {
            target.Post(value);
        }
        return;
    case OVTM_RECORD_CAPTURE_RELEASED:
        if (captureCount_.fetch_sub(1) - 1 == 0) {
            target.Post(value);
        }
        return;
    default:
        target.Post(value);
        return;
    }
}

} // namespace ovtm::appapi
