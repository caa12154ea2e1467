/* <ntifs.h>: the part of the installable-file-system kit a device driver uses here: security
   identifiers, access-control lists and security descriptors, and setting an object's
   security through a kernel handle. */
#ifndef _NTIFS_
#define _NTIFS_
#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;
typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PISID;
typedef PVOID PSID;
#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
#define ACL_REVISION 2
typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;
#define ACCESS_ALLOWED_ACE_TYPE 0x0
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef USHORT SECURITY_DESCRIPTOR_CONTROL;
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_DACL_PROTECTED 0x1000
#define SE_SELF_RELATIVE 0x8000
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_REVISION 1
typedef ULONG SECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001
#define GROUP_SECURITY_INFORMATION 0x00000002
#define DACL_SECURITY_INFORMATION 0x00000004
#define SACL_SECURITY_INFORMATION 0x00000008
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
#define OBJ_KERNEL_HANDLE 0x00000200

NTSYSAPI ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount);
NTSYSAPI NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount);
NTSYSAPI PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority);
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                               PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                    ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN DaclPresent, PACL Dacl,
                                                     BOOLEAN DaclDefaulted);
/* A kernel handle on a device object (the only objects this kernel has handles on). */
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                 PACCESS_STATE PassedAccessState,
                                                 ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                 KPROCESSOR_MODE AccessMode, PHANDLE Handle);
/* Replaces the object's DACL (generic rights mapped to a file's); needs WRITE_DAC. */
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

#ifdef __cplusplus
}
#endif

#endif
