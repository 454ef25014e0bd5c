#include "posix/support/device_sysfs_emulator.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::trunc);
  out << text;
}

std::string HexAttribute(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x\n", digits, value);
  return text;
}

std::string Trimmed(std::string_view value) {
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
  return std::string(value);
}

}  // namespace

DeviceSysfsEmulator::DeviceSysfsEmulator() {
  std::string pattern = (fs::temp_directory_path() / "zyl-sysfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = fs::canonical(pattern);
  fs::create_directories(root_ / "bus/pci/devices");
  fs::create_directories(root_ / "bus/pci/drivers");
  fs::create_directories(root_ / "devices/pci0000:00");
  WriteFile(root_ / "bus/pci/drivers_probe", "");
  WriteFile(root_ / "bus/pci/rescan", "");
}

DeviceSysfsEmulator::~DeviceSysfsEmulator() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path DeviceSysfsEmulator::FunctionDir(const std::string& address) const {
  return root_ / "devices/pci0000:00" / address;
}

void DeviceSysfsEmulator::Add(const EmulatedPciFunction& function) {
  const fs::path dir = FunctionDir(function.address);
  fs::create_directories(dir);
  fs::create_directory_symlink("../../../devices/pci0000:00/" + function.address,
                               root_ / "bus/pci/devices" / function.address);
  WriteFile(dir / "vendor", HexAttribute(function.vendor, 4));
  WriteFile(dir / "device", HexAttribute(function.device, 4));
  if (function.hasSubsystemFiles) {
    WriteFile(dir / "subsystem_vendor", HexAttribute(function.subsystemVendor, 4));
    WriteFile(dir / "subsystem_device", HexAttribute(function.subsystemDevice, 4));
  }
  WriteFile(dir / "revision", HexAttribute(function.revision, 2));
  WriteFile(dir / "class", HexAttribute(function.classCode, 6));
  WriteFile(dir / "driver_override", "(null)\n");
  WriteFile(dir / "rescan", "");
  if (!function.driver.empty()) {
    const fs::path driverDir = root_ / "bus/pci/drivers" / function.driver;
    fs::create_directories(driverDir);
    WriteFile(driverDir / "bind", "");
    WriteFile(driverDir / "unbind", "");
  }
  EmulatedPciFunction& added = functions_[function.address] = function;
  if (function.bound && !function.driver.empty()) Bind(added);
}

void DeviceSysfsEmulator::Bind(EmulatedPciFunction& function) {
  fs::create_directory_symlink("../../../bus/pci/drivers/" + function.driver,
                               FunctionDir(function.address) / "driver");
}

platform::SysfsWriteHook DeviceSysfsEmulator::Hook() {
  return [this](const fs::path& attribute, std::string_view value) { React(attribute, value); };
}

void DeviceSysfsEmulator::React(const fs::path& attribute, std::string_view value) {
  const fs::path resolved = fs::weakly_canonical(attribute);
  const fs::path relative = resolved.lexically_relative(root_);
  if (relative.empty() || *relative.begin() == "..") {
    ++strayWrites_;
    return;
  }
  writes_.push_back(relative.string() + " <- " + Trimmed(value));
  const std::string name = relative.filename().string();
  const std::string parent = relative.parent_path().string();
  const std::string argument = Trimmed(value);

  if (parent.starts_with("bus/pci/drivers/") && name == "unbind") {
    const auto function = functions_.find(argument);
    if (function == functions_.end() || function->second.refusesUnbind) return;
    fs::remove(FunctionDir(argument) / "driver");
  } else if (name == "driver_override") {
    const std::string address = relative.parent_path().filename().string();
    overrides_[address] = argument;
    WriteFile(resolved, argument.empty() ? "(null)\n" : argument + "\n");
  } else if (relative == "bus/pci/drivers_probe") {
    const auto found = functions_.find(argument);
    if (found == functions_.end() || IsBound(argument)) return;
    EmulatedPciFunction& function = found->second;
    const std::string& blocked = overrides_[argument];
    // With an override, only the driver of that name may bind; "none" names no driver.
    if (!blocked.empty() && blocked != function.driver) return;
    if (function.driver.empty() || function.neverRebinds) return;
    if (function.bindsOnlyAfterRescan && !rescanned_) return;
    Bind(function);
  } else if (relative == "bus/pci/rescan") {
    ++rescans_;
    rescanned_ = true;
  }
}

bool DeviceSysfsEmulator::IsBound(const std::string& address) const {
  return fs::is_symlink(FunctionDir(address) / "driver");
}

std::string DeviceSysfsEmulator::Override(const std::string& address) const {
  const auto found = overrides_.find(address);
  return found == overrides_.end() ? std::string() : found->second;
}
