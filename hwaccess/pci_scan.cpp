#include "hwaccess/pci_scan.h"

#include <cstring>

#include "hwaccess/library_platform.h"
#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"

namespace hwaccess {

PciMatch PciMatchTable[kPciMatchTableSize];

}  // namespace hwaccess

using hwaccess::PciMatchTable;

QVDWORD CQVACS::dwReadPort(void* device, unsigned short port) {
  return hwaccess::CurrentHwPlatform().portChannel->ReadPort(device, port);
}

QVDWORD CQVACS::dwWritePort(void* device, unsigned short port, QVDWORD value) {
  return hwaccess::CurrentHwPlatform().portChannel->WritePort(device, port, value);
}

int CQVACS::SearchPCIConfig(QVLONG id, QVLONG subsystem, QVLONG* foundId) {
  std::memset(PciMatchTable, 0xFF, sizeof(PciMatchTable));
  int count = 0;
  // The same transfers as dwWritePort and dwReadPort make, with the channel looked up once:
  // a scan makes 131,072 of them.
  platform::PortChannel& channel = *hwaccess::CurrentHwPlatform().portChannel;
  void* const handle = deviceHandle_;
  const auto readConfig = [&channel, handle](uint32_t bus, uint32_t device, uint32_t function,
                                             uint8_t reg) -> QVDWORD {
    channel.WritePort(handle, platform::kPciConfigAddressPort,
                      hwaccess::PciConfigAddress(bus, device, function, reg));
    return channel.ReadPort(handle, platform::kPciConfigDataPort);
  };
  const auto record = [&](uint32_t bus, uint32_t device, uint32_t function) {
    if (count < hwaccess::kPciMatchTableSize) {
      hwaccess::PciMatch& match = PciMatchTable[count];
      match.bus = static_cast<uint8_t>(bus);
      match.device = static_cast<uint8_t>(device);
      match.function = static_cast<uint8_t>(function);
      match.command =
          static_cast<uint8_t>(readConfig(bus, device, function, hwaccess::kPciCommand) & 0xFF);
    }
    ++count;
  };
  const QVDWORD wantedId = static_cast<QVDWORD>(id);
  const QVDWORD wantedSubsystem = static_cast<QVDWORD>(subsystem);

  if (id == 0 && subsystem != 0) {
    // Subsystem mode: function 0 decides each device.
    for (uint32_t bus = 0; bus < hwaccess::kPciBusCount; ++bus) {
      for (uint32_t device = 0; device < hwaccess::kPciDevicesPerBus; ++device) {
        const QVDWORD idDword = readConfig(bus, device, 0, hwaccess::kPciVendorId);
        // All ones is what an absent function answers: it is never a match.
        const bool present = idDword != platform::kPciAbsentFunction;
        if (present && idDword == wantedId) {
          if (readConfig(bus, device, 0, hwaccess::kPciSubsystemVendorId) == wantedSubsystem) {
            record(bus, device, 0);
          }
        } else if (readConfig(bus, device, 0, hwaccess::kPciSubsystemVendorId) == wantedSubsystem &&
                   present) {
          if (foundId != nullptr) *foundId = static_cast<QVLONG>(idDword);
          record(bus, device, 0);
        }
      }
    }
    return count;
  }

  // ID mode: every function's ID dword is read in order until one equals `id`, which decides
  // its device; the walk goes on at the next device. The channel makes those reads, so one
  // that knows the absent functions can pass over them.
  constexpr uint32_t kFunctions =
      hwaccess::kPciBusCount * hwaccess::kPciDevicesPerBus * hwaccess::kPciFunctionsPerDevice;
  for (uint32_t next = 0; next < kFunctions;) {
    const uint32_t found =
        channel.FindFunction(handle, next, kFunctions, hwaccess::kPciVendorId, wantedId);
    if (found >= kFunctions) break;
    const uint32_t bus = found >> 8;
    const uint32_t device = (found >> 3) & 31;
    const uint32_t function = found & 7;
    if (subsystem == 0 ||
        readConfig(bus, device, function, hwaccess::kPciSubsystemVendorId) == wantedSubsystem) {
      record(bus, device, function);
    }
    next = (found | 7) + 1;
  }
  return count;
}

int32_t QV_GetPciDeviceCount(int32_t id, int32_t subsystem, int32_t* count, int32_t* foundId) {
  CQVACS* object = hwaccess::State().object;
  int found = 0;
  if (object != nullptr) {
    // Only a subsystem-only match writes the found ID; the caller's value stays otherwise.
    QVLONG foundValue = foundId != nullptr ? *foundId : 0;
    found = object->SearchPCIConfig(id, subsystem, foundId != nullptr ? &foundValue : nullptr);
    if (foundId != nullptr) *foundId = foundValue;
  }
  if (count != nullptr) *count = found;
  return kQvSuccess;
}

int32_t QV_GetPciCommandReg(int32_t id, int32_t subsystem, int32_t index, int32_t* command) {
  CQVACS* object = hwaccess::State().object;
  QVLONG scratch = 0;
  const int count = object != nullptr ? object->SearchPCIConfig(id, subsystem, &scratch) : 0;
  if (index < 0 || index >= count || index >= hwaccess::kPciMatchTableSize) {
    return kQvIndexOutOfRange;
  }
  if (command != nullptr) *command = PciMatchTable[index].command;
  return kQvSuccess;
}
