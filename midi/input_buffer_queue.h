// The client's queued input buffers: MIDIHDR-shaped headers chained through lpNext, in
// arrival order. Works on any header type with the MIDIHDR field names, so that the host tier
// can test it without the Windows headers. Not thread-safe: the driver guards it.
#ifndef OVTM_MIDI_INPUT_BUFFER_QUEUE_H
#define OVTM_MIDI_INPUT_BUFFER_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ovtm::midi {

// Header flags and the results of queueing, with the multimedia system's values.
constexpr std::uint32_t kHeaderDone = 0x1;     // MHDR_DONE
constexpr std::uint32_t kHeaderPrepared = 0x2; // MHDR_PREPARED
constexpr std::uint32_t kHeaderInQueue = 0x4;  // MHDR_INQUEUE

enum class QueueResult : std::uint32_t {
    Queued = 0,         // MMSYSERR_NOERROR
    Unprepared = 64,    // MIDIERR_UNPREPARED
    AlreadyQueued = 65, // MIDIERR_STILLPLAYING
    InvalidHeader = 11, // MMSYSERR_INVALPARAM
};

template <typename Header> class InputBufferQueue {
  public:
    // A header that is not prepared or is already queued is refused and left untouched.
    QueueResult Add(Header* header) {
        if (header == nullptr) {
            return QueueResult::InvalidHeader;
        }
        if ((header->dwFlags & kHeaderPrepared) == 0) {
            return QueueResult::Unprepared;
        }
        if ((header->dwFlags & kHeaderInQueue) != 0) {
            return QueueResult::AlreadyQueued;
        }
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~kHeaderDone) | kHeaderInQueue;
        header->lpNext = nullptr;
        if (head_ == nullptr) {
            head_ = header;
        } else {
            Header* last = head_;
            while (last->lpNext != nullptr) {
                last = last->lpNext;
            }
            last->lpNext = header;
        }
        return QueueResult::Queued;
    }

    bool Empty() const { return head_ == nullptr; }

    // Takes the whole queue; the headers stay chained in queue order.
    Header* TakeAll() {
        Header* all = head_;
        head_ = nullptr;
        return all;
    }

    // Fills the oldest buffer with these bytes and takes it out of the queue, done; null
    // (and nothing changed) when no buffer is queued or the oldest is too small.
    Header* FillOldest(const std::uint8_t* bytes, std::size_t count) {
        Header* oldest = head_;
        if (oldest == nullptr || oldest->dwBufferLength < count || oldest->lpData == nullptr) {
            return nullptr;
        }
        head_ = oldest->lpNext;
        std::memcpy(oldest->lpData, bytes, count);
        MarkReturned(oldest, static_cast<decltype(oldest->dwBytesRecorded)>(count));
        return oldest;
    }

    // What a returned header looks like: out of the queue, done, with the bytes it holds.
    static void MarkReturned(Header* header, decltype(Header::dwBytesRecorded) recorded) {
        header->dwBytesRecorded = recorded;
        header->dwFlags = (header->dwFlags & ~kHeaderInQueue) | kHeaderDone;
        header->lpNext = nullptr;
    }

  private:
    Header* head_ = nullptr;
};

// Returns every queued header in queue order: each is marked done with no bytes and handed
// to deliver(header) after its link to the next one is taken.
template <typename Header, typename Deliver>
void ReturnAllBuffers(InputBufferQueue<Header>& queue, Deliver deliver) {
    Header* header = queue.TakeAll();
    while (header != nullptr) {
        Header* next = header->lpNext;
        InputBufferQueue<Header>::MarkReturned(header, 0);
        deliver(header);
        header = next;
    }
}

} // namespace ovtm::midi

#endif
