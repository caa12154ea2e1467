// A control device's security descriptor: built from its SDDL string with the kernel's Rtl
// security calls and the well-known SIDs, and applied to the device object through a kernel
// handle before the device can be opened.
#include <ntifs.h>

#include "fx_internal.h"

namespace {

#define FX_SECURITY_TAG FX_TAG('F', 'x', 'S', 'd')

struct FxWellKnownSid {
    WCHAR Name[3];
    UCHAR Authority;
    UCHAR Count;
    ULONG SubAuthority[2];
};

// The SID abbreviations the control devices' SDDL strings use.
const FxWellKnownSid kWellKnownSids[] = {
    {L"SY", 5, 1, {18, 0}},   // LocalSystem
    {L"BA", 5, 2, {32, 544}}, // Administrators
    {L"BU", 5, 2, {32, 545}}, // Users
    {L"WD", 1, 1, {0, 0}},    // Everyone
    {L"RC", 5, 1, {12, 0}},   // RESTRICTED
    {L"AU", 5, 1, {11, 0}},   // Authenticated Users
    {L"IU", 5, 1, {4, 0}},    // Interactive
    {L"LS", 5, 1, {19, 0}},   // LocalService
    {L"NS", 5, 1, {20, 0}},   // NetworkService
    {L"AC", 15, 2, {2, 1}},   // ALL APPLICATION PACKAGES
};

struct FxRightName {
    WCHAR Name[3];
    ACCESS_MASK Mask;
};

const FxRightName kRightNames[] = {
    {L"GA", GENERIC_ALL},        {L"GR", GENERIC_READ},
    {L"GW", GENERIC_WRITE},      {L"GX", GENERIC_EXECUTE},
    {L"FA", FILE_ALL_ACCESS},    {L"FR", FILE_GENERIC_READ},
    {L"FW", FILE_GENERIC_WRITE}, {L"FX", FILE_GENERIC_EXECUTE},
    {L"RC", READ_CONTROL},       {L"SD", DELETE},
    {L"WD", WRITE_DAC},          {L"WO", WRITE_OWNER},
};

const ULONG kMaxAces = 16;

struct FxAce {
    ACCESS_MASK Mask;
    const FxWellKnownSid* Sid;
};

struct FxParsedSddl {
    BOOLEAN Protected;
    ULONG AceCount;
    FxAce Aces[kMaxAces];
};

bool Matches(const WCHAR* at, const WCHAR* end, const WCHAR* name) {
    return end - at >= 2 && at[0] == name[0] && at[1] == name[1];
}

// Rights as two-letter names run together, or one hexadecimal number.
bool ParseRights(const WCHAR* at, const WCHAR* end, ACCESS_MASK* mask) {
    *mask = 0;
    if (end - at > 2 && at[0] == L'0' && (at[1] == L'x' || at[1] == L'X')) {
        for (at += 2; at < end; ++at) {
            ULONG digit;
            if (*at >= L'0' && *at <= L'9')
                digit = (ULONG)(*at - L'0');
            else if (*at >= L'a' && *at <= L'f')
                digit = (ULONG)(*at - L'a' + 10);
            else if (*at >= L'A' && *at <= L'F')
                digit = (ULONG)(*at - L'A' + 10);
            else
                return false;
            if (*mask > 0x0FFFFFFF)
                return false;
            *mask = (*mask << 4) | digit;
        }
        return true;
    }
    while (at < end) {
        bool found = false;
        for (const FxRightName& right : kRightNames) {
            if (Matches(at, end, right.Name)) {
                *mask |= right.Mask;
                at += 2;
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return *mask != 0;
}

// "D:P(A;;rights;;;SID)..." with access-allowed entries of well-known SIDs only: what the
// control devices' strings hold. Anything else is refused rather than half applied.
NTSTATUS ParseSddl(PCUNICODE_STRING Sddl, FxParsedSddl* Parsed) {
    RtlZeroMemory(Parsed, sizeof(*Parsed));
    const WCHAR* at = Sddl->Buffer;
    const WCHAR* end = at + Sddl->Length / sizeof(WCHAR);
    if (end - at < 2 || at[0] != L'D' || at[1] != L':')
        return STATUS_INVALID_PARAMETER;
    at += 2;
    if (at < end && *at == L'P') {
        Parsed->Protected = TRUE;
        ++at;
    }
    while (at < end) {
        if (*at != L'(' || Parsed->AceCount == kMaxAces)
            return STATUS_INVALID_PARAMETER;
        const WCHAR* close = at;
        while (close < end && *close != L')')
            ++close;
        if (close == end)
            return STATUS_INVALID_PARAMETER;
        // Six fields: type;flags;rights;object;inherited object;SID.
        const WCHAR* field[7];
        ULONG count = 0;
        field[count++] = at + 1;
        for (const WCHAR* p = at + 1; p < close && count < 7; ++p)
            if (*p == L';')
                field[count++] = p + 1;
        if (count != 6)
            return STATUS_INVALID_PARAMETER;
        field[6] = close + 1;
        // Field i runs from field[i] to field[i + 1] - 1 (its ';' or the ')').
        if (field[1] - field[0] != 2 || field[0][0] != L'A' || field[2] - field[1] != 1 ||
            field[4] - field[3] != 1 || field[5] - field[4] != 1)
            return STATUS_INVALID_PARAMETER;
        FxAce* ace = &Parsed->Aces[Parsed->AceCount];
        if (!ParseRights(field[2], field[3] - 1, &ace->Mask))
            return STATUS_INVALID_PARAMETER;
        if (close - field[5] != 2)
            return STATUS_INVALID_PARAMETER;
        ace->Sid = NULL;
        for (const FxWellKnownSid& sid : kWellKnownSids)
            if (Matches(field[5], close, sid.Name))
                ace->Sid = &sid;
        if (ace->Sid == NULL)
            return STATUS_INVALID_PARAMETER;
        Parsed->AceCount++;
        at = close + 1;
    }
    return Parsed->AceCount != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS SetDeviceSecurity(PDEVICE_OBJECT Device, PSECURITY_DESCRIPTOR Descriptor,
                           BOOLEAN Protected) {
    HANDLE handle = NULL;
    NTSTATUS status = ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                            KernelMode, &handle);
    if (!NT_SUCCESS(status))
        return status;
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    if (Protected)
        what |= PROTECTED_DACL_SECURITY_INFORMATION;
    status = ZwSetSecurityObject(handle, what, Descriptor);
    ZwClose(handle);
    return status;
}

} // namespace

NTSTATUS FxApplySddl(PDEVICE_OBJECT Device, PCUNICODE_STRING Sddl) {
    FxParsedSddl* parsed = static_cast<FxParsedSddl*>(
        ExAllocatePoolWithTag(FxNonPagedPool(), sizeof(FxParsedSddl), FX_SECURITY_TAG));
    if (parsed == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ParseSddl(Sddl, parsed);
    if (!NT_SUCCESS(status)) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "a control device's SDDL holds more than access-allowed entries of "
                         "well-known SIDs; the device is not created");
        ExFreePoolWithTag(parsed, FX_SECURITY_TAG);
        return status;
    }
    ULONG aclLength = sizeof(ACL);
    for (ULONG i = 0; i < parsed->AceCount; ++i)
        aclLength += sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) +
                     RtlLengthRequiredSid(parsed->Aces[i].Sid->Count);
    const ULONG sidLength = RtlLengthRequiredSid(2);
    const ULONG total = sizeof(SECURITY_DESCRIPTOR) + aclLength + sidLength;
    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, total, FX_SECURITY_TAG));
    if (block == NULL) {
        ExFreePoolWithTag(parsed, FX_SECURITY_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, total);
    PSECURITY_DESCRIPTOR descriptor = block;
    PACL acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR));
    PSID sid = block + sizeof(SECURITY_DESCRIPTOR) + aclLength;
    status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlCreateAcl(acl, aclLength, ACL_REVISION);
    for (ULONG i = 0; NT_SUCCESS(status) && i < parsed->AceCount; ++i) {
        const FxWellKnownSid* known = parsed->Aces[i].Sid;
        SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, known->Authority}};
        status = RtlInitializeSid(sid, &authority, known->Count);
        for (UCHAR s = 0; NT_SUCCESS(status) && s < known->Count; ++s)
            *RtlSubAuthoritySid(sid, s) = known->SubAuthority[s];
        if (NT_SUCCESS(status))
            status = RtlAddAccessAllowedAce(acl, ACL_REVISION, parsed->Aces[i].Mask, sid);
    }
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE);
    if (NT_SUCCESS(status))
        status = SetDeviceSecurity(Device, descriptor, parsed->Protected);
    ExFreePoolWithTag(block, FX_SECURITY_TAG);
    ExFreePoolWithTag(parsed, FX_SECURITY_TAG);
    return status;
}
