// Security identifiers, access-control lists and descriptors (the Rtl calls drivers build them
// with), kernel handles on device objects to set a descriptor through, and the access check of
// an open against the applied descriptor for the caller's identity.
#include <ntifs.h>

#include <hostkernel/security.h>

#include "kernel_internal.h"

#include <map>

namespace hostkernel::detail {

using hostkernel::AppliedAce;
using hostkernel::AppliedSecurity;

namespace {

struct KernelHandle {
    PDEVICE_OBJECT device;
    ACCESS_MASK access;
};

struct SecurityState {
    std::mutex mutex;
    std::map<PDEVICE_OBJECT, AppliedSecurity> applied;
    std::map<uintptr_t, KernelHandle> handles;
    uintptr_t nextHandle = 0x1004;
};

SecurityState& State() {
    static SecurityState state;
    return state;
}

std::string SidText(const SID* sid) {
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | sid->IdentifierAuthority.Value[i];
    std::string text =
        Format("S-%u-%llu", sid->Revision, static_cast<unsigned long long>(authority));
    for (UCHAR i = 0; i < sid->SubAuthorityCount; ++i)
        text += Format("-%u", sid->SubAuthority[i]);
    return text;
}

ACCESS_MASK MapGeneric(ACCESS_MASK mask) {
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

const char* const kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
const char* const kAdministratorUser = "S-1-5-21-1004336348-1177238915-682003330-500";
const char* const kPackage = "S-1-15-2-466767348-3739614953-2700836392-1801644223-4227750657-"
                             "1087833535-2488631167";

std::vector<std::string> GroupsOf(Caller caller) {
    switch (caller) {
    case Caller::System:
        return {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-11"};
    case Caller::Administrator:
        return {kAdministratorUser, "S-1-5-32-544", "S-1-5-32-545",
                "S-1-1-0",          "S-1-5-11",     "S-1-5-4"};
    default:
        return {kUser, "S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"};
    }
}

// The rights the entries grant to any of `sids`.
ACCESS_MASK GrantedTo(const AppliedSecurity& security, const std::vector<std::string>& sids) {
    ACCESS_MASK granted = 0;
    for (const AppliedAce& ace : security.dacl)
        for (const std::string& sid : sids)
            if (ace.allow && ace.sid == sid)
                granted |= ace.mask;
    return granted;
}

} // namespace

void ForgetDeviceSecurity(PDEVICE_OBJECT device) {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.applied.erase(device);
}

NTSTATUS CheckDeviceOpen(PDEVICE_OBJECT device, Caller caller, ACCESS_MASK desired) {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.applied.find(device);
    if (it == s.applied.end())
        return STATUS_SUCCESS;
    const AppliedSecurity& security = it->second;
    ACCESS_MASK granted = GrantedTo(security, GroupsOf(caller));
    if (caller == Caller::RestrictedCode)
        granted &= GrantedTo(security, {"S-1-5-12"});
    if (caller == Caller::AppContainer)
        granted &= GrantedTo(security, {"S-1-15-2-1", kPackage});
    if (caller == Caller::LowIntegrity)
        granted &= ~(FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                     DELETE | WRITE_DAC | WRITE_OWNER);
    return (desired & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

void CloseKernelHandles() {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!s.handles.empty())
        verifier::Report(
            verifier::kPoolBalance,
            Format("%zu kernel handle(s) never closed with ZwClose", s.handles.size()));
    s.handles.clear();
    s.applied.clear();
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
using hostkernel::AppliedAce;
using hostkernel::AppliedSecurity;
namespace verifier = hostkernel::verifier;

namespace hostkernel {

AppliedSecurity DeviceSecurity(PDEVICE_OBJECT device) {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.applied.find(device);
    return it == s.applied.end() ? AppliedSecurity() : it->second;
}

} // namespace hostkernel

extern "C" {

ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount) {
    return static_cast<ULONG>(offsetof(SID, SubAuthority) + SubAuthorityCount * sizeof(ULONG));
}

NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                UCHAR SubAuthorityCount) {
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES)
        return STATUS_INVALID_PARAMETER;
    auto* sid = static_cast<SID*>(Sid);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = SubAuthorityCount;
    sid->IdentifierAuthority = *IdentifierAuthority;
    return STATUS_SUCCESS;
}

PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority) {
    auto* sid = static_cast<SID*>(Sid);
    if (SubAuthority >= sid->SubAuthorityCount)
        verifier::Report(verifier::kAssertion, "RtlSubAuthoritySid past the SID's count");
    return &sid->SubAuthority[SubAuthority];
}

ULONG NTAPI RtlLengthSid(PSID Sid) {
    return RtlLengthRequiredSid(static_cast<SID*>(Sid)->SubAuthorityCount);
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL) || AclLength > 0xFFFF || AclRevision != ACL_REVISION)
        return STATUS_INVALID_PARAMETER;
    memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                      PSID Sid) {
    if (Acl == nullptr || AceRevision != ACL_REVISION || Sid == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Find the end of the entries already there.
    auto* at = reinterpret_cast<UCHAR*>(Acl) + sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; ++i)
        at += reinterpret_cast<ACE_HEADER*>(at)->AceSize;
    ULONG size = static_cast<ULONG>(offsetof(ACCESS_ALLOWED_ACE, SidStart)) + RtlLengthSid(Sid);
    if (at + size > reinterpret_cast<UCHAR*>(Acl) + Acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(at);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<USHORT>(size);
    ace->Mask = AccessMask;
    memcpy(&ace->SidStart, Sid, RtlLengthSid(Sid));
    Acl->AceCount++;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                           ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted) {
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (sd->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    sd->Control &= static_cast<USHORT>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (DaclPresent)
        sd->Control |= SE_DACL_PRESENT;
    if (DaclDefaulted)
        sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = DaclPresent ? Dacl : nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                     PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle) {
    (void)PassedAccessState;
    (void)ObjectType;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report(verifier::kIrql, "ObOpenObjectByPointer above PASSIVE_LEVEL");
    if (Object == nullptr || Handle == nullptr || AccessMode != KernelMode ||
        (HandleAttributes & OBJ_KERNEL_HANDLE) == 0)
        return STATUS_INVALID_PARAMETER;
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles[value] = KernelHandle{static_cast<PDEVICE_OBJECT>(Object), MapGeneric(DesiredAccess)};
    *Handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor) {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == s.handles.end())
        return STATUS_INVALID_HANDLE;
    if ((SecurityInformation & DACL_SECURITY_INFORMATION) == 0 || SecurityDescriptor == nullptr)
        return STATUS_INVALID_PARAMETER;
    if ((it->second.access & WRITE_DAC) == 0)
        return STATUS_ACCESS_DENIED;
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE) ||
        (sd->Control & SE_DACL_PRESENT) == 0 || sd->Dacl == nullptr)
        return STATUS_INVALID_SECURITY_DESCR;
    AppliedSecurity applied;
    applied.applied = true;
    applied.protectedDacl = (SecurityInformation & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    const auto* at = reinterpret_cast<const UCHAR*>(sd->Dacl) + sizeof(ACL);
    for (USHORT i = 0; i < sd->Dacl->AceCount; ++i) {
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            return STATUS_INVALID_ACL;
        applied.dacl.push_back(AppliedAce{SidText(reinterpret_cast<const SID*>(&ace->SidStart)),
                                          MapGeneric(ace->Mask), true});
        at += ace->Header.AceSize;
    }
    s.applied[it->second.device] = applied;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    SecurityState& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 1 ? STATUS_SUCCESS
                                                                     : STATUS_INVALID_HANDLE;
}

} // extern "C"
