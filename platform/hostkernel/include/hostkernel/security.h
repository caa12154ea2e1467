// Who opens a device, and the security descriptor a driver applied to it (tests only): opens are
// access-checked against an applied descriptor for the caller's identity; a device with none
// applied is opened without a check.
#ifndef HOSTKERNEL_SECURITY_H
#define HOSTKERNEL_SECURITY_H

#include <wdm.h>

#include <string>
#include <vector>

namespace hostkernel {

// The identity of the process that opens a handle, with the groups and rules of its token:
// - System: SYSTEM (S-1-5-18), Administrators, Everyone, Authenticated Users.
// - Administrator: an elevated administrator: its user, Administrators, Users, Everyone,
//   Authenticated Users, Interactive; medium integrity (high for an elevated one: no difference
//   against an unlabelled object).
// - StandardUser: its user, Users, Everyone, Authenticated Users, Interactive; medium integrity.
// - RestrictedCode: a standard user's token restricted to RESTRICTED (S-1-5-12): an access must
//   be granted both to the user's groups and to the restricting SID.
// - LowIntegrity: a standard user at low integrity: an unlabelled object counts as medium with
//   no write up, so no write access, delete or change of the descriptor.
// - AppContainer: a standard user's token in an app container: an access must also be granted
//   to ALL APPLICATION PACKAGES (S-1-15-2-1) or to the package's own SID.
enum class Caller {
    System,
    Administrator,
    StandardUser,
    RestrictedCode,
    LowIntegrity,
    AppContainer
};

struct AppliedAce {
    std::string sid;   // "S-1-5-18"
    ACCESS_MASK mask;  // generic rights mapped to a file's
    bool allow = true; // only access-allowed entries are kept
};

struct AppliedSecurity {
    bool applied = false; // a driver set a DACL on the device
    bool protectedDacl = false;
    std::vector<AppliedAce> dacl;
};

// What a driver applied to the device with ZwSetSecurityObject.
AppliedSecurity DeviceSecurity(PDEVICE_OBJECT device);

} // namespace hostkernel

#endif
