// State notifications and the resync sequence.
#include "state_notification.h"

#include "shared_values.h"

namespace ovtm::midi {

namespace {

// Our own system-exclusive manufacturer identifier: the three-byte form, 00 first.
constexpr std::uint8_t kManufacturer[3] = {0x00, 0x4F, 0x54};
constexpr std::uint8_t kSubjectOctave = 0x01;
constexpr std::uint8_t kSubjectResync = 0x02;

Notification MakeNotification(std::uint8_t subject, std::uint8_t value) {
    return Notification{0xF0,
                        kManufacturer[0],
                        kManufacturer[1],
                        kManufacturer[2],
                        0x30,
                        0x04,
                        subject,
                        value,
                        0x00,
                        0xF7};
}

ResyncItem NotificationItem(const Notification& notification) {
    ResyncItem item;
    item.notification = notification;
    return item;
}

} // namespace

Notification OctaveNotification(OctaveStep step) {
    return MakeNotification(kSubjectOctave, step == OctaveStep::Down ? 0x01 : 0x00);
}

Notification ResyncBracket(bool closing) {
    return MakeNotification(kSubjectResync, closing ? 0x01 : 0x00);
}

ResyncSequence BuildResyncSequence(std::int32_t transpose, bool sustainLatch) {
    ResyncSequence sequence;
    auto append = [&sequence](const ResyncItem& item) {
        if (sequence.count < sequence.items.size()) {
            sequence.items[sequence.count++] = item;
        }
    };
    append(NotificationItem(ResyncBracket(false)));
    ResyncItem sustain;
    sustain.isShortMessage = true;
    sustain.shortMessage = sustainLatch ? kSustainOnMessage : kSustainOffMessage;
    append(sustain);
    // Whatever the caller read, only a reachable transpose is reported.
    const std::int32_t valid = ValidTranspose(transpose);
    const OctaveStep direction = valid > 0 ? OctaveStep::Up : OctaveStep::Down;
    const std::int32_t octaves = (valid < 0 ? -valid : valid) / kTransposeStep;
    for (std::int32_t i = 0; i < octaves; ++i) {
        append(NotificationItem(OctaveNotification(direction)));
    }
    append(NotificationItem(ResyncBracket(true)));
    return sequence;
}

} // namespace ovtm::midi
