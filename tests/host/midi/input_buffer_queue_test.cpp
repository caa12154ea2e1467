// The client's input buffers: queueing rules, reset order, and notifications written into the
// oldest buffer, seen through the headers the client owns.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "input_buffer_queue.h"

namespace ovtm::midi {
namespace {

// The MIDIHDR fields the queue uses, with the Windows names.
struct Header {
    char* lpData = nullptr;
    std::uint32_t dwBufferLength = 0;
    std::uint32_t dwBytesRecorded = 0;
    std::uintptr_t dwUser = 0;
    std::uint32_t dwFlags = 0;
    Header* lpNext = nullptr;
};

struct Buffer {
    char bytes[64] = {};
    Header header;
    explicit Buffer(std::uint32_t length = 64, std::uint32_t flags = kHeaderPrepared) {
        header.lpData = bytes;
        header.dwBufferLength = length;
        header.dwBytesRecorded = 99;
        header.dwFlags = flags | kHeaderDone;
    }
};

TEST(InputBufferQueue, RefusedHeadersAreLeftUntouched) {
    InputBufferQueue<Header> queue;
    Buffer unprepared(64, 0);
    const Header before = unprepared.header;
    EXPECT_EQ(queue.Add(&unprepared.header), QueueResult::Unprepared);
    EXPECT_EQ(unprepared.header.dwFlags, before.dwFlags);
    EXPECT_EQ(unprepared.header.dwBytesRecorded, before.dwBytesRecorded);
    EXPECT_EQ(queue.Add(nullptr), QueueResult::InvalidHeader);
    EXPECT_TRUE(queue.Empty());

    Buffer buffer;
    ASSERT_EQ(queue.Add(&buffer.header), QueueResult::Queued);
    EXPECT_EQ(buffer.header.dwFlags, kHeaderPrepared | kHeaderInQueue);
    EXPECT_EQ(buffer.header.dwBytesRecorded, 0u);
    EXPECT_EQ(queue.Add(&buffer.header), QueueResult::AlreadyQueued);
    EXPECT_EQ(buffer.header.dwFlags, kHeaderPrepared | kHeaderInQueue);
}

TEST(InputBufferQueue, ResetReturnsEveryHeaderInQueueOrderAndEmptiesTheQueue) {
    InputBufferQueue<Header> queue;
    Buffer a, b, c;
    for (Buffer* buffer : {&a, &b, &c}) {
        ASSERT_EQ(queue.Add(&buffer->header), QueueResult::Queued);
    }
    std::vector<Header*> returned;
    ReturnAllBuffers(queue, [&](Header* header) {
        EXPECT_EQ(header->dwBytesRecorded, 0u);
        EXPECT_EQ(header->dwFlags, kHeaderPrepared | kHeaderDone);
        returned.push_back(header);
    });
    EXPECT_EQ(returned, (std::vector<Header*>{&a.header, &b.header, &c.header}));
    EXPECT_TRUE(queue.Empty());
    // Returned headers may be queued again.
    EXPECT_EQ(queue.Add(&b.header), QueueResult::Queued);
    returned.clear();
    ReturnAllBuffers(queue, [&](Header* header) { returned.push_back(header); });
    EXPECT_EQ(returned, std::vector<Header*>{&b.header});
}

TEST(InputBufferQueue, NotificationFillsTheOldestBufferOnlyWhenItIsLargeEnough) {
    const std::uint8_t notification[10] = {0xF0, 0, 1, 2, 0x30, 0x04, 1, 0, 0, 0xF7};
    InputBufferQueue<Header> queue;
    EXPECT_EQ(queue.FillOldest(notification, 10), nullptr) << "no buffer: dropped";

    Buffer small(9), large;
    ASSERT_EQ(queue.Add(&small.header), QueueResult::Queued);
    ASSERT_EQ(queue.Add(&large.header), QueueResult::Queued);
    EXPECT_EQ(queue.FillOldest(notification, 10), nullptr);
    EXPECT_EQ(small.header.dwFlags, kHeaderPrepared | kHeaderInQueue) << "left queued";
    EXPECT_EQ(small.bytes[0], 0);

    std::vector<Header*> returned;
    ReturnAllBuffers(queue, [&](Header* header) { returned.push_back(header); });
    ASSERT_EQ(queue.Add(&large.header), QueueResult::Queued);
    ASSERT_EQ(queue.Add(&small.header), QueueResult::Queued);
    Header* filled = queue.FillOldest(notification, 10);
    ASSERT_EQ(filled, &large.header);
    EXPECT_EQ(large.header.dwBytesRecorded, 10u);
    EXPECT_EQ(large.header.dwFlags, kHeaderPrepared | kHeaderDone);
    EXPECT_EQ(std::vector<std::uint8_t>(large.bytes, large.bytes + 10),
              std::vector<std::uint8_t>(notification, notification + 10));
    returned.clear();
    ReturnAllBuffers(queue, [&](Header* header) { returned.push_back(header); });
    EXPECT_EQ(returned, std::vector<Header*>{&small.header}) << "the filled one left the queue";
}

} // namespace
} // namespace ovtm::midi
