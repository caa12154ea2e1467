// Reads whose issuer gives up on them: a parked or held read ends with STATUS_CANCELLED the
// moment its issuer cancels it (CancelIo, a cancel of that one request, or the end of the
// thread that sent it), loses no record, and never races the delivery pass, the hold timer or
// a close into completing a read twice or not at all.
#include <atomic>
#include <random>
#include <thread>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>

#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::UserThread;
using usbsim::KeyboardModel;

namespace {

class ReadCancel : public FilterTest {};

constexpr uint8_t kOn = 0x90;

void ExpectCancelledEmpty(const PendingIo& io) {
    ASSERT_TRUE(io.IsComplete()) << "the cancelled read is still pending";
    EXPECT_EQ(io.Status(), STATUS_CANCELLED);
    EXPECT_EQ(io.Information(), 0u);
}

// A handle whose reads take the hold path: its capture was released.
UserHandle ReleasedHandle(FilterRig& rig) {
    UserHandle h = rig.Open();
    EXPECT_EQ(rig.Capture(h, 2), STATUS_SUCCESS);
    // The release marker itself is read before the hold path applies to every read.
    return h;
}

} // namespace

TEST_F(ReadCancel, ParkedReadEndsAtOnceAndTheNextReadGetsTheRecord) {
    FilterRig rig;
    UserHandle a = rig.Open();
    PendingIo parked = rig.Read(a);
    ASSERT_FALSE(parked.IsComplete());
    a.CancelIo();
    ExpectCancelledEmpty(parked);

    // The slot is free again, and a key press after the cancel reaches the next read.
    PendingIo next = rig.Read(a);
    ASSERT_FALSE(next.IsComplete());
    rig.Send(KeyboardModel::PressKey(10, 64));
    ASSERT_TRUE(next.IsComplete());
    EXPECT_EQ(next.OutputBytes(), NoteBytes(kOn, 50, 64));
}

TEST_F(ReadCancel, CancellingOneRequestLeavesOtherClientsParked) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    PendingIo readA = rig.Read(a), readB = rig.Read(b);
    ASSERT_TRUE(readA.Cancel());
    ExpectCancelledEmpty(readA);
    EXPECT_FALSE(readB.IsComplete());
    // A, with no read parked now, does not keep the next record from B; A's next read finds it.
    rig.Send(KeyboardModel::PressKey(0, 1));
    ASSERT_TRUE(readB.IsComplete());
    EXPECT_EQ(readB.OutputBytes(), NoteBytes(kOn, 40, 1));
    PendingIo againA = rig.Read(a);
    ASSERT_TRUE(againA.IsComplete());
    EXPECT_EQ(againA.OutputBytes(), NoteBytes(kOn, 40, 1));
}

TEST_F(ReadCancel, HeldReadEndsAtOnceWithoutWaitingForTheHold) {
    FilterRig rig;
    UserHandle h = ReleasedHandle(rig);
    PendingIo held = rig.Read(h);
    ASSERT_FALSE(held.IsComplete());
    h.CancelIo();
    ExpectCancelledEmpty(held);
    EXPECT_EQ(hostkernel::Now(), 0u);
    // The hold timer still fires, finds nothing held and ends nothing else; a later read
    // is held anew and ends 100 ms after it came.
    rig.AdvanceMs(100);
    PendingIo later = rig.Read(h);
    ASSERT_FALSE(later.IsComplete());
    rig.AdvanceMs(99);
    EXPECT_FALSE(later.IsComplete());
    rig.AdvanceMs(1);
    ExpectCancelledEmpty(later);
}

TEST_F(ReadCancel, CancelOfAHeldReadLeavesTheParkedReadOfItsHandleToTheHold) {
    FilterRig rig;
    UserHandle h = ReleasedHandle(rig);
    PendingIo held = rig.Read(h);
    // A second read while one is held is served normally: the release marker, then parked.
    PendingIo marker = rig.Read(h);
    EXPECT_EQ(marker.OutputBytes(), KeyBytes(0x61));
    PendingIo parked = rig.Read(h);
    ASSERT_FALSE(parked.IsComplete());
    ASSERT_TRUE(held.Cancel());
    ExpectCancelledEmpty(held);
    EXPECT_FALSE(parked.IsComplete());
    parked.Cancel();
    ExpectCancelledEmpty(parked);
}

TEST_F(ReadCancel, ThreadEndCancelsItsParkedAndHeldReadsAndWaitsForThem) {
    FilterRig rig;
    UserHandle reader = rig.Open();
    UserHandle other = rig.Open();
    UserHandle stopping = ReleasedHandle(rig);
    PendingIo parked(nullptr), held(nullptr);
    PendingIo othersRead = rig.Read(other);
    {
        UserThread thread([&] {
            parked = rig.Read(reader);
            held = rig.Read(stopping);
        });
        thread.Join();
        // When the thread is gone, so are its requests; no time has passed.
        ExpectCancelledEmpty(parked);
        ExpectCancelledEmpty(held);
        EXPECT_EQ(hostkernel::Now(), 0u);
    }
    // A read of another thread is untouched, and the handles stay usable.
    EXPECT_FALSE(othersRead.IsComplete());
    PendingIo again = rig.Read(reader);
    rig.Send(KeyboardModel::PressKey(1, 2));
    EXPECT_EQ(again.OutputBytes(), NoteBytes(kOn, 41, 2));
    EXPECT_EQ(othersRead.OutputBytes(), NoteBytes(kOn, 41, 2));
}

TEST_F(ReadCancel, CancelAfterCloseAndAfterUnplugFindsNothingToDo) {
    FilterRig rig;
    UserHandle h = rig.Open();
    PendingIo parked = rig.Read(h);
    h.Close();
    ExpectCancelledEmpty(parked);
    EXPECT_FALSE(parked.Cancel());

    UserHandle g = rig.Open();
    PendingIo parkedAtUnplug = rig.Read(g);
    rig.SurpriseRemove();
    ASSERT_TRUE(parkedAtUnplug.IsComplete());
    EXPECT_EQ(parkedAtUnplug.OutputBytes(), KeyBytes(0x5E));
    g.CancelIo();
    rig.RemoveDevice();
}

// Reads cancelled at random moments while reports are delivered: every read ends once, with
// data or cancelled, and the records a client receives are every record sent, in order, whole.
TEST_F(ReadCancel, CancelsRacingTheDeliveryPassLoseNoRecord) {
    FilterRig rig;
    UserHandle h = rig.Open();
    const int kRecords = 600; // below the ring's capacity: nothing is dropped for lack of room
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        for (int i = 0; i < kRecords; ++i) {
            rig.Send(KeyboardModel::PressKey(static_cast<uint8_t>(i % 64),
                                             static_cast<uint8_t>(i / 64 + 1)));
            // Slower than the reader, so that reads park and some are cancelled there.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        sending = false;
    });
    Bytes received;
    std::mt19937 random(12);
    int cancelled = 0;
    while (received.size() < static_cast<size_t>(kRecords) * 4) {
        PendingIo io = rig.Read(h, 4 + 4 * (random() % 8));
        if (random() % 2 == 0) {
            io.Cancel();
        }
        if (!io.IsComplete() && !sending) {
            rig.Send(Bytes{3, 0}); // a report without slots only runs the delivery pass
        }
        ASSERT_TRUE(io.Wait());
        if (io.Status() == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(io.Information(), 0u);
            continue;
        }
        ASSERT_EQ(io.Status(), STATUS_SUCCESS);
        Bytes got = io.OutputBytes();
        received.insert(received.end(), got.begin(), got.end());
    }
    sender.join();
    ASSERT_EQ(received.size(), static_cast<size_t>(kRecords) * 4);
    for (int i = 0; i < kRecords; ++i) {
        Bytes record(received.begin() + 4 * i, received.begin() + 4 * i + 4);
        ASSERT_EQ(record, NoteBytes(kOn, static_cast<uint8_t>(40 + i % 64),
                                    static_cast<uint8_t>(i / 64 + 1)))
            << "record " << i;
    }
    EXPECT_GT(cancelled, 0);
}

// Held reads cancelled by their threads' end while the hold timer fires and handles close.
TEST_F(ReadCancel, ThreadEndsRacingTheHoldTimerAndClose) {
    FilterRig rig;
    std::atomic<bool> running{true};
    std::thread clock([&] {
        while (running) {
            hostkernel::AdvanceClockMs(25);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 150; ++round) {
        UserHandle h = ReleasedHandle(rig);
        PendingIo first(nullptr), second(nullptr);
        {
            UserThread thread([&] {
                first = rig.Read(h);
                second = rig.Read(h); // the release marker, or parked
                if (round % 3 == 0) {
                    h.Close();
                }
            });
        }
        ASSERT_TRUE(first.IsComplete()) << "round " << round;
        ASSERT_TRUE(second.IsComplete()) << "round " << round;
        EXPECT_EQ(first.Status(), STATUS_CANCELLED);
        EXPECT_TRUE(second.Status() == STATUS_CANCELLED || second.Status() == STATUS_SUCCESS);
    }
    running = false;
    clock.join();
}

// Several clients at once, each parking reads, cancelling them, being delivered to and closing
// its handle while the keyboard plays: every read ends once, as delivered or cancelled, and the
// framework's own fields of a cancelable read are never written (the verifier checks them when
// each read stops being cancelable).
TEST_F(ReadCancel, ClientsParkCancelReceiveAndCloseAtOnce) {
    FilterRig rig;
    constexpr int kClients = 4;
    constexpr int kRounds = 60;
    std::atomic<bool> playing{true};
    std::atomic<int> delivered{0};
    std::atomic<int> cancelled{0};
    std::thread keyboard([&] {
        for (uint8_t key = 0; playing; key = static_cast<uint8_t>((key + 1) % 64)) {
            rig.Send(KeyboardModel::PressKey(key, 64));
            rig.Send(KeyboardModel::ReleaseKey(key, 0));
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::mt19937 random(static_cast<uint32_t>(c) * 7919u + 1u);
            for (int round = 0; round < kRounds; ++round) {
                UserHandle h = rig.Open();
                for (int i = 0; i < 4; ++i) {
                    PendingIo read = rig.Read(h);
                    switch (random() % 3) {
                    case 0:
                        h.CancelIo();
                        break;
                    case 1:
                        read.Cancel();
                        break;
                    default:
                        break; // the keyboard's next report ends it
                    }
                    ASSERT_TRUE(read.Wait());
                    if (read.Status() == STATUS_SUCCESS) {
                        EXPECT_EQ(read.Information() % 4, 0u);
                        delivered++;
                    } else {
                        EXPECT_EQ(read.Status(), STATUS_CANCELLED);
                        EXPECT_EQ(read.Information(), 0u);
                        cancelled++;
                    }
                }
                // Half the handles close with a read still parked: the close ends it.
                PendingIo last = rig.Read(h);
                if (random() % 2 == 0) {
                    h.Close();
                }
                ASSERT_TRUE(last.Wait());
                EXPECT_TRUE(last.Status() == STATUS_SUCCESS || last.Status() == STATUS_CANCELLED);
                h.Close();
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    playing = false;
    keyboard.join();
    EXPECT_GT(delivered.load(), 0);
    EXPECT_GT(cancelled.load(), 0);
}
