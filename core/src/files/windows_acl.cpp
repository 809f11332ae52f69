// SPDX-License-Identifier: Apache-2.0
#include "files/windows_acl.hpp"

#include <aclapi.h>

#include <memory>

#include "files/files.hpp"

namespace cryptcore {

namespace {

// What lets the trustee of an access control entry read a file's data.
constexpr DWORD kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

struct LocalFreer {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

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

bool readable_only_by_its_owner(HANDLE file) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, LocalFreer> owned_descriptor(descriptor);
  if (dacl == nullptr) {
    return false;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) {
      return false;
    }
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // An inherit-only entry is for files made in a folder, not for the
    // folder itself; a denial takes nothing from privacy.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      return false;
    }
    auto* const allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const PSID trustee = &allowed->SidStart;
    if ((allowed->Mask & kReadRights) != 0 && !EqualSid(trustee, owner) &&
        !IsWellKnownSid(trustee, WinLocalSystemSid) &&
        !IsWellKnownSid(trustee, WinBuiltinAdministratorsSid) &&
        !IsWellKnownSid(trustee, WinCreatorOwnerRightsSid)) {
      return false;
    }
  }
  return true;
}

}  // namespace cryptcore
