// Two music-pipe completions running at once on different threads while three clients
// read: every client receives every record exactly once, each sender's records in the
// order sent, and nothing races (this test is meant for the ThreadSanitizer build).
#include <atomic>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

#include "client_record.h"
#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;

namespace {

constexpr int kReportsPerSender = 600;
constexpr int kSenders = 2;
constexpr int kReaders = 3;

struct ReaderTally {
    std::vector<uint8_t> bytes;
};

// Sender s presses keys 32*s .. 32*s+31 with velocity = its sequence number mod 128.
Bytes SenderReport(int sender, int sequence) {
    return usbsim::KeyboardModel::PressKey(static_cast<uint8_t>(32 * sender + sequence % 32),
                                           static_cast<uint8_t>(sequence % 128));
}

} // namespace

class ConcurrentCompletion : public FilterTest {};

TEST_F(ConcurrentCompletion, TwoCompletionsThreeReaders) {
    FilterRig rig;
    std::vector<UserHandle> handles(kReaders);
    for (auto& h : handles) {
        h = rig.Open();
    }
    std::atomic<int> readersDone{0};
    std::vector<ReaderTally> tallies(kReaders);
    std::vector<uint32_t> dropped(kReaders, 0);

    auto expectedFor = [&](int reader) {
        return static_cast<size_t>(kSenders * kReportsPerSender -
                                   static_cast<int>(dropped[reader])) *
               4;
    };
    std::atomic<bool> sendersDone{false};

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            while (true) {
                PendingIo io = rig.Read(handles[r], 200);
                ASSERT_TRUE(io.Wait(std::chrono::seconds(20)));
                ASSERT_EQ(io.Status(), STATUS_SUCCESS);
                Bytes got = io.OutputBytes();
                tallies[r].bytes.insert(tallies[r].bytes.end(), got.begin(), got.end());
                if (sendersDone.load() && tallies[r].bytes.size() >= expectedFor(r)) {
                    break;
                }
            }
            handles[r].Close();
            readersDone.fetch_add(1);
        });
    }

    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kReportsPerSender; ++i) {
                rig.Send(SenderReport(s, i));
            }
        });
    }
    for (auto& t : senders) {
        t.join();
    }
    {
        PFILTER_EXTENSION ext = rig.Extension();
        WdfSpinLockAcquire(ext->ClientListLock);
        int r = 0;
        for (PLIST_ENTRY e = ext->ClientList.Flink; e != &ext->ClientList; e = e->Flink, ++r) {
            dropped[r] = CONTAINING_RECORD(e, CLIENT_RECORD, Link)->DroppedRecords;
        }
        WdfSpinLockRelease(ext->ClientListLock);
    }
    sendersDone.store(true);
    // A note report without slots runs a delivery pass and adds nothing: it wakes readers
    // whose records are waiting behind a client that had no read parked.
    while (readersDone.load() < kReaders) {
        rig.Send(Bytes{3, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : readers) {
        t.join();
    }

    for (int r = 0; r < kReaders; ++r) {
        const Bytes& got = tallies[r].bytes;
        ASSERT_EQ(got.size(), expectedFor(r)) << "reader " << r;
        int seen[kSenders] = {0, 0};
        for (size_t i = 0; i < got.size(); i += 4) {
            ASSERT_EQ(got[i], 0x90);
            ASSERT_EQ(got[i + 3], 0x00);
            int key = got[i + 1] - 40;
            int velocity = got[i + 2];
            int sender = key / 32;
            ASSERT_LT(sender, kSenders);
            // Key and velocity come from the same report: no record was torn.
            ASSERT_EQ(key % 32, velocity % 32);
            // Without drops, each sender's records arrive in the order sent.
            if (dropped[r] == 0) {
                ASSERT_EQ(velocity, seen[sender] % 128) << "reader " << r << " sender " << sender;
            }
            ++seen[sender];
        }
        EXPECT_EQ(seen[0] + seen[1] + static_cast<int>(dropped[r]), kSenders * kReportsPerSender);
        if (dropped[r] == 0) {
            EXPECT_EQ(seen[0], kReportsPerSender);
            EXPECT_EQ(seen[1], kReportsPerSender);
        }
    }
}
