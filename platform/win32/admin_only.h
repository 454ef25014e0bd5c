#pragma once

#include <string>

// clang-format off
#include <windows.h>
// clang-format on

namespace platform::win32 {

/// Whether only administrators can change the file or folder at `path`: no entry of its access
/// list that applies to it (inherit-only entries do not) grants Everyone, Authenticated Users,
/// Users, INTERACTIVE or CREATOR OWNER the right to write, append (for a folder: add a file or
/// a folder), delete a child, or change its access list or owner. False when its security
/// cannot be read, or it has no access list at all (which grants everyone everything).
bool OnlyAdministratorsCanChange(const std::wstring& path);

/// The rule OnlyAdministratorsCanChange applies to an access list: true when an entry that
/// applies to the object grants one of those groups one of those rights, or when an entry
/// cannot be read or is of a kind a file's list does not hold. A null list grants everything.
bool AccessListLetsUsersChange(const ACL* dacl);

}  // namespace platform::win32
