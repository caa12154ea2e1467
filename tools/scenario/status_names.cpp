// The table of status names: the values the filter, the framework and the bus return.
#include "status_names.h"

#include <cstdio>

namespace scenario {
namespace {

struct NamedStatus {
    uint32_t value;
    const char* name;
};

constexpr NamedStatus kStatuses[] = {
    {0x00000000u, "STATUS_SUCCESS"},
    {0x00000102u, "STATUS_TIMEOUT"},
    {0x00000103u, "STATUS_PENDING"},
    {0x80000005u, "STATUS_BUFFER_OVERFLOW"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008u, "STATUS_INVALID_HANDLE"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022u, "STATUS_ACCESS_DENIED"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000056u, "STATUS_DELETE_PENDING"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009Du, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000B5u, "STATUS_IO_TIMEOUT"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    {0xC0000120u, "STATUS_CANCELLED"},
    {0xC0000128u, "STATUS_FILE_CLOSED"},
    {0xC0000184u, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000206u, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC00002B6u, "STATUS_DEVICE_REMOVED"},
};

} // namespace

std::string StatusName(uint32_t status) {
    for (const auto& s : kStatuses) {
        if (s.value == status)
            return s.name;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", status);
    return text;
}

} // namespace scenario
