#include "tests/fakes/port_channel.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

void PutDword(FakePciBus::ConfigSpace& space, uint8_t reg, uint32_t value) {
  const size_t offset = reg & 0xFCu;
  for (size_t i = 0; i < 4; ++i) space[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetDword(const FakePciBus::ConfigSpace& space, uint8_t reg) {
  const size_t offset = reg & 0xFCu;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(space[offset + i]) << (8 * i);
  return value;
}

}  // namespace

void FakePciBus::AddFunction(unsigned bus, unsigned device, unsigned function, uint32_t id,
                             uint32_t subsystem, uint32_t command) {
  ConfigSpace space{};
  PutDword(space, 0x00, id);
  PutDword(space, 0x04, command);
  PutDword(space, 0x2C, subsystem);
  functions_[Key(bus, device, function)] = space;
}

void FakePciBus::SetConfigSpace(unsigned bus, unsigned device, unsigned function,
                                const ConfigSpace& space) {
  functions_[Key(bus, device, function)] = space;
}

void FakePciBus::SetDword(unsigned bus, unsigned device, unsigned function, uint8_t reg,
                          uint32_t value) {
  auto it = functions_.find(Key(bus, device, function));
  if (it != functions_.end()) PutDword(it->second, reg, value);
}

void FakePciBus::RemoveFunction(unsigned bus, unsigned device, unsigned function) {
  functions_.erase(Key(bus, device, function));
}

bool FakePciBus::LoadDump(const std::string& path, std::string* error) {
  std::ifstream file(path);
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = path + ": " + why;
    return false;
  };
  if (!file) return fail("cannot be read");
  std::map<uint16_t, ConfigSpace> loaded;
  std::string line;
  int lineNumber = 0;
  while (std::getline(file, line)) {
    ++lineNumber;
    std::istringstream fields(line);
    std::string address;
    if (!(fields >> address) || address[0] == '#') continue;
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    char tail = 0;
    const bool withDomain = std::sscanf(address.c_str(), "%x:%x:%x.%x%c", &domain, &bus, &device,
                                        &function, &tail) == 4;
    // A failed try with a domain may have filled some fields: start the short form afresh.
    if (!withDomain) domain = bus = device = function = 0;
    if (!withDomain &&
        std::sscanf(address.c_str(), "%x:%x.%x%c", &bus, &device, &function, &tail) != 3) {
      return fail("line " + std::to_string(lineNumber) + ": bad address " + address);
    }
    if (domain != 0 || bus > 255 || device > 31 || function > 7) {
      return fail("line " + std::to_string(lineNumber) + ": address out of range " + address);
    }
    ConfigSpace space{};
    std::string word;
    int reg = 0;
    while (fields >> word) {
      if (reg >= 256) return fail("line " + std::to_string(lineNumber) + ": more than 64 dwords");
      size_t used = 0;
      unsigned long value = 0;
      try {
        value = std::stoul(word, &used, 16);
      } catch (...) {
        used = 0;
      }
      if (used != word.size() || word.size() > 8) {
        return fail("line " + std::to_string(lineNumber) + ": bad dword " + word);
      }
      PutDword(space, static_cast<uint8_t>(reg), static_cast<uint32_t>(value));
      reg += 4;
    }
    if (reg == 0) return fail("line " + std::to_string(lineNumber) + ": no dwords");
    loaded[Key(bus, device, function)] = space;
  }
  for (const auto& [key, space] : loaded) functions_[key] = space;
  return true;
}

uint32_t FakePciBus::ReadPort(Handle device, uint16_t port) {
  ++transfers_;
  if (device == nullptr) return 0;
  if (port == kPciConfigAddressPort) return latch_;
  if (port != kPciConfigDataPort) return 0;
  if ((latch_ & 0x80000000u) == 0) return 0xFFFFFFFFu;
  auto it = functions_.find(static_cast<uint16_t>((latch_ >> 8) & 0xFFFFu));
  if (it == functions_.end()) return 0xFFFFFFFFu;
  return GetDword(it->second, static_cast<uint8_t>(latch_ & 0xFCu));
}

uint32_t FakePciBus::WritePort(Handle device, uint16_t port, uint32_t value) {
  ++transfers_;
  if (device != nullptr && port == kPciConfigAddressPort) latch_ = value;
  return 0;
}

}  // namespace platform
