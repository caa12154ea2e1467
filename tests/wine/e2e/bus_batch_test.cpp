// The bench bus's batched send that the benchmark injects with: reports of one request reach
// the HID stack above the filter in order, the request says when the last one was carried,
// and a request the bus cannot take sends nothing at all.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <vector>

#include "vbus_protocol.h"
#include "virtual_bus.h"

namespace ovtm::e2e {
namespace {

using ovtm::wine::VirtualBus;
using Report = std::vector<std::uint8_t>;

std::vector<Report> MusicReports(VirtualBus& bus, int keyboard) {
    std::vector<Report> reports;
    for (const auto& report : bus.HidReports(keyboard)) {
        if (report.endpoint == 0x82 && report.status == 0) {
            reports.push_back(report.bytes);
        }
    }
    return reports;
}

VBUS_SEND KeyPress(int keyboard) {
    VBUS_SEND send{};
    send.KeyboardId = static_cast<ULONG>(keyboard);
    send.Endpoint = 0x82;
    send.Length = 5;
    send.Bytes[0] = 3;
    send.Bytes[1] = 0x40;
    send.Bytes[2] = 1;
    return send;
}

// A send request as the bus's control device takes it, past the kit's own checks; the
// Windows error it fails with, or 0.
DWORD SendRaw(const std::vector<VBUS_SEND>& sends) {
    HANDLE bus = CreateFileW(VBUS_PATH_W, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD returned = 0;
    const BOOL sent = DeviceIoControl(bus, IOCTL_VBUS_SEND, const_cast<VBUS_SEND*>(sends.data()),
                                      static_cast<DWORD>(sends.size() * sizeof(VBUS_SEND)), nullptr,
                                      0, &returned, nullptr);
    const DWORD error = sent ? 0 : GetLastError();
    CloseHandle(bus);
    return error;
}

TEST(BusBatchedSend, ReportsArriveInOrderAndTheRequestTellsWhenTheLastWasCarried) {
    VirtualBus bus;
    ASSERT_TRUE(bus.IsOpen()) << bus.LastError();
    const int keyboard = bus.Plug();
    ASSERT_GT(keyboard, 0) << bus.LastError();
    const std::vector<Report> sent = {
        {3, 0x40, 1, 0, 0}, {3, 0x80, 1, 0, 0}, {3, 0x41, 2, 0x42, 3}, {3, 0x81, 2, 0x82, 3}};
    LONGLONG issued = 0, carried = 0;
    ASSERT_TRUE(bus.SendReports(keyboard, sent, &issued, &carried)) << bus.LastError();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EXPECT_EQ(MusicReports(bus, keyboard), sent);
    // Both readings come from the one clock user mode and the kernel share.
    EXPECT_GT(carried, issued);
    EXPECT_LE(carried, now.QuadPart);

    // Too many for one request, an empty report, another keyboard or pipe among them, or a
    // length that is not whole entries: refused, and nothing of it goes out.
    std::vector<VBUS_SEND> tooMany(VBUS_MAX_SEND_BATCH + 1, KeyPress(keyboard));
    EXPECT_EQ(SendRaw(tooMany), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<VBUS_SEND> mixed(3, KeyPress(keyboard));
    mixed[1].Length = 0;
    EXPECT_EQ(SendRaw(mixed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    mixed[1] = KeyPress(keyboard + 1000);
    EXPECT_EQ(SendRaw(mixed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    mixed[1] = KeyPress(keyboard);
    mixed[1].Endpoint = 0x81;
    EXPECT_EQ(SendRaw(mixed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SendRaw({}), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MusicReports(bus, keyboard).size(), sent.size());
    // The largest batch goes out whole.
    EXPECT_EQ(SendRaw(std::vector<VBUS_SEND>(VBUS_MAX_SEND_BATCH, KeyPress(keyboard))), 0u);
    EXPECT_EQ(MusicReports(bus, keyboard).size(), sent.size() + VBUS_MAX_SEND_BATCH);
    EXPECT_TRUE(bus.Unplug(keyboard)) << bus.LastError();
    EXPECT_FALSE(bus.SendReports(keyboard, sent)) << "a keyboard that is gone takes nothing";
}

} // namespace
} // namespace ovtm::e2e
