// Reads this machine's PCI functions through the binding, read-only, and checks the first
// hardware ID of each against what lspci reports. Nothing here writes to /sys.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "platform/posix/device_tree.h"

namespace {

struct LspciFunction {
  std::string vendorDevice;  ///< "8086:0d57"
  std::string revision = "00";
  std::string subsystem;  ///< "1af4:1045", or empty when lspci shows none
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

/// Runs `lspci -D -n -v`; empty when lspci cannot run.
std::map<std::string, LspciFunction> Lspci() {
  std::map<std::string, LspciFunction> functions;
  FILE* pipe = popen("lspci -D -n -v 2>/dev/null", "r");
  if (pipe == nullptr) return functions;
  const std::regex header(R"(^([0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]) [0-9a-f]{4}: )"
                          R"(([0-9a-f]{4}:[0-9a-f]{4})(.*\(rev ([0-9a-f]{2})\))?)");
  const std::regex subsystem(R"(^\tSubsystem: ([0-9a-f]{4}:[0-9a-f]{4}))");
  std::string current;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::smatch match;
    const std::string text(line);
    if (std::regex_search(text, match, header)) {
      current = match[1];
      functions[current].vendorDevice = match[2];
      if (match[4].matched) functions[current].revision = match[4];
    } else if (!current.empty() && std::regex_search(text, match, subsystem)) {
      functions[current].subsystem = match[1];
    }
  }
  pclose(pipe);
  return functions;
}

std::string SysfsHex(const std::string& address, const char* attribute) {
  std::ifstream in(std::filesystem::path("/sys/bus/pci/devices") / address / attribute);
  std::string value;
  in >> value;
  return value.size() > 2 ? value.substr(2) : "0000";
}

std::string ExpectedFirstId(const std::string& address, const LspciFunction& function) {
  std::string subsystemVendor;
  std::string subsystemDevice;
  if (!function.subsystem.empty()) {
    subsystemVendor = function.subsystem.substr(0, 4);
    subsystemDevice = function.subsystem.substr(5, 4);
  } else {  // lspci shows no subsystem line for some bridges: take the kernel's values
    subsystemVendor = SysfsHex(address, "subsystem_vendor");
    subsystemDevice = SysfsHex(address, "subsystem_device");
  }
  return Upper("PCI\\VEN_" + function.vendorDevice.substr(0, 4) + "&DEV_" +
               function.vendorDevice.substr(5, 4) + "&SUBSYS_" + subsystemDevice + subsystemVendor +
               "&REV_" + function.revision);
}

std::string FirstString(const std::vector<std::byte>& bytes) {
  std::string first;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto unit =
        std::to_integer<unsigned>(bytes[at]) | (std::to_integer<unsigned>(bytes[at + 1]) << 8);
    if (unit == 0) break;
    first.push_back(static_cast<char>(unit));
  }
  return first;
}

TEST(SysfsDeviceTreeRealTest, FirstHardwareIdsAgreeWithLspci) {
  if (!std::filesystem::exists("/sys/bus/pci/devices")) GTEST_SKIP() << "no PCI sysfs";
  const auto lspci = Lspci();
  if (lspci.empty()) GTEST_SKIP() << "lspci is not available";

  platform::SysfsDeviceTree tree;  // the real /sys, read-only calls only
  platform::DeviceList list = tree.GetPresentDevices();
  ASSERT_NE(list, nullptr);
  platform::DeviceRecord record;
  std::size_t seen = 0;
  for (uint32_t index = 0; tree.EnumDevice(list, index, record); ++index, ++seen) {
    std::vector<std::byte> description(512);
    ASSERT_TRUE(
        tree.ReadProperty(list, record, platform::kPropertyDeviceDesc, description, nullptr));
    const std::string text = FirstString(description);
    const std::string address = Trimmed(text.substr(text.rfind(' ') + 1));
    ASSERT_TRUE(lspci.contains(address)) << address;

    std::vector<std::byte> ids;
    uint32_t size = 0;
    while (!tree.ReadProperty(list, record, platform::kPropertyHardwareId, ids, &size)) {
      ASSERT_EQ(tree.LastError(), platform::kErrorInsufficientBuffer);
      ids.assign(size, std::byte{0});
    }
    EXPECT_EQ(FirstString(ids), ExpectedFirstId(address, lspci.at(address))) << address;

    uint32_t status = 0;
    uint32_t problem = 0;
    EXPECT_TRUE(tree.GetNodeStatus(record.devInst, status, problem)) << address;
  }
  tree.DestroyList(list);
  EXPECT_EQ(seen, lspci.size());
}

}  // namespace
