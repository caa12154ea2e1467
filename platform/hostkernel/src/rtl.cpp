// Run-time library: counted strings (conversions allocate from pool with the tag "Ustr"),
// memory comparison, debug output, assertions and bug checks.
#include "kernel_internal.h"

#include <atomic>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <algorithm>

namespace {

constexpr ULONG kStringTag = 0x72747355; // "Ustr"

} // namespace

namespace hostkernel::detail {

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (char c : text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::wstring FromUnicodeString(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr)
        return std::wstring();
    return std::wstring(string->Buffer, string->Length / sizeof(WCHAR));
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel {
namespace {
std::atomic<bool> debugOutputShown{false};
} // namespace
void ShowDebugOutput(bool shown) {
    debugOutputShown.store(shown);
}
bool DebugOutputShown() {
    return debugOutputShown.load();
}
} // namespace hostkernel

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const unsigned char*>(Source1);
    auto b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t length = SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0;
    if (length > 0xfffc)
        length = 0xfffc;
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength =
        SourceString ? static_cast<USHORT>(length + sizeof(WCHAR)) : 0;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    size_t length = SourceString ? strlen(SourceString) : 0;
    if (length > 0xfffe)
        length = 0xfffe;
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(length + 1) : 0;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    size_t chars = SourceString->Length;
    size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xffff)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i)
        DestinationString->Buffer[i] =
            static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    if (DestinationString->MaximumLength >= bytes + sizeof(WCHAR))
        DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    size_t chars = SourceString->Length / sizeof(WCHAR);
    if (chars + 1 > 0xffff)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (DestinationString->MaximumLength < chars) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 256 ? static_cast<CHAR>(c) : '?';
    }
    if (DestinationString->MaximumLength > chars)
        DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(chars);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr)
        ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != nullptr)
        ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = static_cast<WCHAR>(towupper(a));
            b = static_cast<WCHAR>(towupper(b));
        }
        if (a != b)
            return a < b ? -1 : 1;
    }
    return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[64];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", Guid.Data1,
             Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
             Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    return RtlAnsiStringToUnicodeString(GuidString, &ansi, TRUE);
}

ULONG DbgPrint(PCSTR Format, ...) {
    // Driver debug output is kept out of test logs unless asked for.
    if (getenv("HOSTKERNEL_DEBUG_OUTPUT") == nullptr)
        return 0;
    va_list args;
    va_start(args, Format);
    vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    bool shown = hostkernel::DebugOutputShown() || getenv("HOSTKERNEL_DEBUG_OUTPUT") != nullptr;
    if (!shown)
        return 0;
    char line[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(line, sizeof(line), Format, args);
    va_end(args);
    fprintf(stderr, "[debug output, level %u] %s", static_cast<unsigned>(Level), line);
    return 0;
}

VOID NTAPI DbgBreakPoint(VOID) {
    hostkernel::verifier::Report(hostkernel::verifier::kAssertion, "DbgBreakPoint");
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    hostkernel::verifier::Report(hostkernel::verifier::kAssertion,
                                 Format("%s at %s:%u%s%s",
                                        static_cast<const char*>(FailedAssertion),
                                        static_cast<const char*>(FileName), LineNumber,
                                        Message ? ": " : "", Message ? Message : ""));
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr ||
        lpVersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    ULONG major = 0, minor = 0;
    hostkernel::detail::ReportedWindowsVersion(&major, &minor);
    lpVersionInformation->dwMajorVersion = major;
    lpVersionInformation->dwMinorVersion = minor;
    lpVersionInformation->dwBuildNumber = major >= 10 ? 19045 : 7601;
    lpVersionInformation->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    lpVersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                        ULONG_PTR P4) {
    fprintf(stderr, "KeBugCheckEx(0x%x, %#lx, %#lx, %#lx, %#lx)\n", BugCheckCode,
            static_cast<unsigned long>(P1), static_cast<unsigned long>(P2),
            static_cast<unsigned long>(P3), static_cast<unsigned long>(P4));
    abort();
}

} // extern "C"
