// OvtmFilt.sys in Wine's driver host on the bench's virtual USB bus: what applications see
// through real handles on its control device while keyboards are played, plugged and pulled.
#include <windows.h>

#include <gtest/gtest.h>

#include "filter_client.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "virtual_bus.h"

using namespace ovtm::filter_test;
using ovtm::wine::VirtualBus;

namespace {

class FilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.IsOpen()) << bus_.LastError();
        keyboard_ = bus_.Plug();
        ASSERT_GT(keyboard_, 0) << bus_.LastError();
        ASSERT_EQ(bus_.ControlDeviceNumber(keyboard_), 1);
    }
    void TearDown() override {
        if (keyboard_ > 0) {
            EXPECT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
        }
    }

    VirtualBus bus_;
    int keyboard_ = 0;
};

TEST_F(FilterTest, KeyPressReachesAReadParkedBeforeIt) {
    Client client(1);
    ASSERT_TRUE(client.IsOpen()) << client.OpenError();
    auto read = client.StartRead();
    ASSERT_TRUE(read->Pending());
    EXPECT_FALSE(read->Wait(50)) << "nothing to read yet";

    ASSERT_TRUE(bus_.KeyDown(keyboard_, 63, 100)) << bus_.LastError();
    ASSERT_TRUE(read->Wait(3000));
    EXPECT_EQ(read->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(read->Bytes(), (std::vector<uint8_t>{0x90, 0x67, 0x64, 0x00}));
}

} // namespace

namespace {

TEST_F(FilterTest, AQueryWaitingForItsAnswerHoldsUpNoOtherHandle) {
    // The reader opens first: a delivery pass ends at the first client without a parked read.
    Client reader(1), waiter(1);
    ASSERT_TRUE(waiter.IsOpen());
    ASSERT_TRUE(reader.IsOpen());
    auto query = waiter.Start(IOCTL_OVTM_QUERY_C3, {}, std::vector<uint8_t>(4, 0));
    ASSERT_TRUE(query->Pending());
    Sleep(50);
    const DWORD start = GetTickCount();
    auto read = reader.StartRead();
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 0, 1)) << bus_.LastError();
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_LT(GetTickCount() - start, 300u) << "the read waited for the query";
    EXPECT_EQ(read->Bytes(), (std::vector<uint8_t>{0x90, 40, 1, 0}));
    EXPECT_FALSE(query->Wait(0)) << "the unanswered query still waits";
    ASSERT_TRUE(query->Wait(2000));
}

} // namespace
