// SPDX-License-Identifier: Apache-2.0
#include "files/windows_acl.hpp"

#include "files/files.hpp"

namespace cryptcore {

namespace {

bool sid_of(Trustee trustee, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
  if (trustee == Trustee::User) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return false;
    }
    const OwnedHandle owned_token(token);
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
           CopySid(sizeof sid, sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
  }
  const WELL_KNOWN_SID_TYPE kind = trustee == Trustee::OwnerRights ? WinCreatorOwnerRightsSid
                                   : trustee == Trustee::System    ? WinLocalSystemSid
                                                                   : WinBuiltinAdministratorsSid;
  DWORD size = sizeof sid;
  return CreateWellKnownSid(kind, nullptr, sid, &size);
}

}  // namespace

AllowList::AllowList(std::initializer_list<Grant> grants) {
  ACL* const acl = reinterpret_cast<ACL*>(storage_);
  built_ = InitializeAcl(acl, sizeof storage_, ACL_REVISION);
  for (const Grant& grant : grants) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    built_ = built_ && sid_of(grant.trustee, sid) &&
             AddAccessAllowedAce(acl, ACL_REVISION, grant.rights, sid);
  }
}

}  // namespace cryptcore
