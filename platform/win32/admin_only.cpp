// A service that runs as LocalSystem loads its library and the kernel driver from its own
// folder: a folder or file that an ordinary user may change would hand that user the service's
// rights, or the kernel.
#include "platform/win32/admin_only.h"

// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

namespace platform::win32 {
namespace {

// Rights that let the holder change what the folder or file holds, or give itself those rights.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The groups every ordinary user belongs to, and the creator of a new object.
constexpr WELL_KNOWN_SID_TYPE kOrdinaryUsers[] = {WinWorldSid, WinAuthenticatedUserSid,
                                                  WinBuiltinUsersSid, WinInteractiveSid,
                                                  WinCreatorOwnerSid};

bool IsOrdinaryUser(PSID sid) {
  for (WELL_KNOWN_SID_TYPE type : kOrdinaryUsers) {
    if (IsWellKnownSid(sid, type)) return true;
  }
  return false;
}

// The trustee and rights of an allowing entry; null for every other kind.
PSID AllowedTrustee(const ACE_HEADER* header, ACCESS_MASK* mask) {
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return nullptr;
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  *mask = ace->Mask;
  return const_cast<DWORD*>(&ace->SidStart);
}

}  // namespace

bool AccessListLetsUsersChange(const ACL* dacl) {
  if (dacl == nullptr) return true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    // An entry that cannot be read counts against the folder.
    if (!GetAce(const_cast<ACL*>(dacl), i, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for children only
    ACCESS_MASK mask = 0;
    PSID trustee = AllowedTrustee(header, &mask);
    // Other allowing kinds (callback, object entries) have no place on a file: refused.
    if (trustee == nullptr) {
      if (header->AceType != ACCESS_DENIED_ACE_TYPE) return true;
      continue;
    }
    if ((mask & kChangingRights) != 0 && IsOrdinaryUser(trustee)) return true;
  }
  return false;
}

bool OnlyAdministratorsCanChange(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status =
      GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) return false;
  const bool safe = !AccessListLetsUsersChange(dacl);
  LocalFree(descriptor);
  return safe;
}

}  // namespace platform::win32
