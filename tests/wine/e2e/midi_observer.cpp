// The MIDI application's view (see observers.h).
#include "observers.h"

namespace ovtm::e2e {

MidiObserver::~MidiObserver() {
    if (input_ != nullptr) {
        midiInReset(input_);
        midiInClose(input_);
    }
}

MMRESULT MidiObserver::Open(UINT device) {
    return midiInOpen(&input_, device, reinterpret_cast<DWORD_PTR>(&Callback),
                      reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
}

void CALLBACK MidiObserver::Callback(HMIDIIN, UINT message, DWORD_PTR instance,
                                     DWORD_PTR parameter1, DWORD_PTR) {
    // The clock is read first: everything after it is this program's own cost.
    const LONGLONG now = PerformanceCounter();
    if (message == MIM_DATA) {
        reinterpret_cast<MidiObserver*>(instance)->log_.Add(static_cast<std::uint32_t>(parameter1),
                                                            now);
    }
}

} // namespace ovtm::e2e
