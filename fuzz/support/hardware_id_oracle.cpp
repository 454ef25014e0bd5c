#include "support/hardware_id_oracle.h"

#include <cstdio>

std::u16string OracleAdapterId(int which, uint32_t vendorId, uint32_t deviceId) {
  char text[128] = {};
  switch (which) {
    case 0:
      std::snprintf(text, sizeof text, "PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00");
      break;
    case 1:
      std::snprintf(text, sizeof text, "PCI\\VEN_1987&DEV_5000&SUBSYS_50001987&REV_01");
      break;
    case 2:
      std::snprintf(text, sizeof text, "PCI\\VEN_104D&DEV_905C&SUBSYS_81CE104D&REV_00");
      break;
    default:
      std::snprintf(text, sizeof text, "PCI\\VEN_%4X&DEV_%4X&SUBSYS_81CE104D&REV_00", vendorId,
                    deviceId);
      break;
  }
  std::u16string wide;
  for (const char* c = text; *c != '\0'; ++c) wide.push_back(static_cast<unsigned char>(*c));
  return wide;
}

bool OracleIsAdapterId(std::span<const std::byte> bytes, uint32_t vendorId, uint32_t deviceId) {
  std::u16string first;
  for (std::size_t unit = 0; unit < bytes.size() / 2; ++unit) {
    const char16_t c = static_cast<char16_t>(static_cast<unsigned>(bytes[2 * unit]) |
                                             static_cast<unsigned>(bytes[2 * unit + 1]) << 8);
    if (c == 0) break;
    first.push_back(c);
  }
  for (int which = 0; which < 4; ++which) {
    if (first == OracleAdapterId(which, vendorId, deviceId)) return true;
  }
  return false;
}
