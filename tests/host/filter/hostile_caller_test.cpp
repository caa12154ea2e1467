// What a hostile caller of the control device can make the kernel do, seen as a client sees it:
// output buffers in read-only pages, handles without write access, handles that end without
// giving back what they took, and floods of handles.
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "filter_rig.h"

using namespace filter_test;
using hostkernel::IoResult;
using hostkernel::PendingIo;
using hostkernel::UserHandle;

namespace {

class ReadOnlyPages : public FilterTest {};

const wchar_t* const kControlDevice = L"\\\\.\\OvtsMelodixSymLk#1";

// Every code that answers with bytes, with an output buffer long enough for its answer in pages
// the caller may only read: the call fails and the pages keep every byte.
TEST_F(ReadOnlyPages, NoCodeWritesIntoThem) {
    FilterRig rig;
    UserHandle h = rig.Open();
    const Bytes before(200, 0xEE);
    for (ULONG code : {IOCTL_OVTM_GET_REVISION, IOCTL_OVTM_GET_VERSION, IOCTL_OVTM_QUERY_C4,
                       IOCTL_OVTM_QUERY_C3, IOCTL_OVTM_GET_DEVICE_NAME, IOCTL_OVTM_READ_EVENTS}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        IoResult r = h.DeviceIoControlIntoReadOnlyPages(code, {}, before);
        EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, before);
    }
    // The same handle's next call with writable pages is answered as before.
    IoResult version = h.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, Bytes(8, 0xEE));
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.information, 4u);
    EXPECT_EQ(version.output, (Bytes{0x2D, 0x01, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(hostkernel::verifier::FindingCount(), 0u);
}

} // namespace
