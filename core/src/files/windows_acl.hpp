// SPDX-License-Identifier: Apache-2.0
// Access control lists built in place, for the Windows objects that are made
// private to the user who runs the program: a new output made from a private
// input, and the process itself.
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

}  // namespace cryptcore
