#include "support/pci_scan_oracle.h"

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFF;
constexpr unsigned kBuses = 256;
constexpr unsigned kDevices = 32;
constexpr unsigned kFunctions = 8;

enum class Reg { kId, kSubsystem, kCommand };

// Reads one register and counts the two transfers (address out, data in) that cost.
class Reader {
 public:
  Reader(const OracleBus& bus, OracleScan& scan) : bus_(bus), scan_(scan) {}

  uint32_t Read(unsigned bus, unsigned device, unsigned function, Reg reg) {
    scan_.transfers += 2;
    if (!bus_.hasDevice) return 0;
    auto it = bus_.functions.find(OracleBus::Key(bus, device, function));
    if (it == bus_.functions.end()) return kAllOnes;
    switch (reg) {
      case Reg::kId:
        return it->second.id;
      case Reg::kSubsystem:
        return it->second.subsystem;
      case Reg::kCommand:
        return it->second.command;
    }
    return 0;
  }

 private:
  const OracleBus& bus_;
  OracleScan& scan_;
};

void Record(Reader& reader, OracleScan& scan, unsigned bus, unsigned device, unsigned function) {
  OracleMatch match{static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
                    static_cast<uint8_t>(function), 0};
  if (scan.count < OracleScan::kTableSize) {
    match.command = static_cast<uint8_t>(reader.Read(bus, device, function, Reg::kCommand));
  }
  scan.matches.push_back(match);
  ++scan.count;
}

void DecideBySubsystem(Reader& reader, OracleScan& scan, unsigned bus, unsigned device,
                       uint32_t subsystem) {
  const uint32_t id = reader.Read(bus, device, 0, Reg::kId);
  const uint32_t sub = reader.Read(bus, device, 0, Reg::kSubsystem);
  if (id == kAllOnes || sub != subsystem) return;
  if (id != 0) {
    scan.foundIdWritten = true;
    scan.foundId = id;
  }
  Record(reader, scan, bus, device, 0);
}

void DecideById(Reader& reader, OracleScan& scan, unsigned bus, unsigned device, uint32_t id,
                uint32_t subsystem) {
  for (unsigned function = 0; function < kFunctions; ++function) {
    const uint32_t value = reader.Read(bus, device, function, Reg::kId);
    if (value == kAllOnes || value != id) continue;
    if (subsystem == 0 || reader.Read(bus, device, function, Reg::kSubsystem) == subsystem) {
      Record(reader, scan, bus, device, function);
    }
    return;
  }
}

}  // namespace

OracleScan OracleSearch(const OracleBus& bus, uint32_t id, uint32_t subsystem) {
  OracleScan scan;
  Reader reader(bus, scan);
  const bool subsystemOnly = id == 0 && subsystem != 0;
  for (unsigned b = 0; b < kBuses; ++b) {
    for (unsigned d = 0; d < kDevices; ++d) {
      if (subsystemOnly) {
        DecideBySubsystem(reader, scan, b, d, subsystem);
      } else {
        DecideById(reader, scan, b, d, id, subsystem);
      }
    }
  }
  return scan;
}
