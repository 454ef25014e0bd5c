#include "platform/posix/pipe_security.h"

#include <grp.h>
#include <strings.h>

#include <string>
#include <string_view>

#include "platform/posix/utf8.h"
#include "platform/windows_values.h"

namespace platform::posix {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Permission bits r and w (as 04 and 02) for one access mask.
mode_t PermissionBits(uint32_t mask) {
  mode_t bits = 0;
  if (mask & (kFileReadData | kGenericRead | kGenericAll)) bits |= 04;
  if (mask & (kFileWriteData | kGenericWrite | kGenericAll)) bits |= 02;
  return bits;
}

gid_t AdministratorsGroup() {
  for (const char* name : {"sudo", "wheel", "admin"}) {
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (getgrnam_r(name, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
      return found->gr_gid;
    }
  }
  return 0;
}

}  // namespace

bool SocketAccessFor(std::span<const PipeAccessEntry> entries, SocketFileAccess* access) {
  *access = {0, AdministratorsGroup(), 0};
  for (const PipeAccessEntry& entry : entries) {
    const std::string name = ToUtf8(entry.trustee);
    const mode_t bits = PermissionBits(entry.accessMask);
    if (EqualsIgnoringCase(name, "SYSTEM")) {
      access->mode |= bits << 6;
    } else if (EqualsIgnoringCase(name, "Administrators")) {
      access->mode |= bits << 3;
    } else if (EqualsIgnoringCase(name, "Users") || EqualsIgnoringCase(name, "Everyone") ||
               EqualsIgnoringCase(name, "Authenticated Users")) {
      access->mode |= bits;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace platform::posix
