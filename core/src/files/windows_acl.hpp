// SPDX-License-Identifier: Apache-2.0
// Access control lists built in place, for the Windows objects that are made
// private to the user who runs the program: a new output made from a private
// input, and the process itself; and whether a file is private already.
#pragma once

#include <windows.h>

#include <initializer_list>

namespace cryptcore {

// Who an entry of the list lets in.
enum class Trustee { User, OwnerRights, System, Administrators };

struct Grant {
  Trustee trustee;
  DWORD rights;
};

// Whether nobody but the file's owner, SYSTEM and the Administrators may read
// it. What cannot be read for sure (no right to read the ACL, a null ACL,
// conditional or object entries) counts as open to others.
bool readable_only_by_its_owner(HANDLE file);

// An ACL that allows each of its trustees the rights given, and nothing to
// anyone else. It lives in this object: nothing is allocated.
class AllowList {
 public:
  explicit AllowList(std::initializer_list<Grant> grants);
  AllowList(const AllowList&) = delete;
  AllowList& operator=(const AllowList&) = delete;

  // The list, or null if it could not be built.
  ACL* get() { return built_ ? reinterpret_cast<ACL*>(storage_) : nullptr; }

 private:
  // Room for the header and five entries with the largest SIDs.
  alignas(
      DWORD) BYTE storage_[sizeof(ACL) + 5 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
  bool built_ = false;
};

// How a new file is made private: readable by nobody but the user who runs
// the program, SYSTEM and the Administrators, whatever its folder would pass
// on to it (the ACL is protected from inheritance).
class PrivateFile {
 public:
  PrivateFile()
      : acl_({{Trustee::User, FILE_ALL_ACCESS},
              {Trustee::System, FILE_ALL_ACCESS},
              {Trustee::Administrators, FILE_ALL_ACCESS}}) {}

  // The attributes to create the file with, or null if they could not be
  // made (the file must then not be created).
  SECURITY_ATTRIBUTES* attributes() {
    const bool made =
        acl_.get() != nullptr &&
        InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_.get(), FALSE) &&
        SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    return made ? &attributes_ : nullptr;
  }

 private:
  AllowList acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  // Not inherited by child processes, as a handle made without attributes.
  SECURITY_ATTRIBUTES attributes_{sizeof attributes_, &descriptor_, FALSE};
};

}  // namespace cryptcore
