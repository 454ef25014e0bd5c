#pragma once

#include "platform/debug_output.h"
#include "platform/driver_manager.h"
#include "platform/port_channel.h"

namespace hwaccess {

/// The bindings the library's core runs on.
struct HwPlatform {
  platform::DriverManager* driverManager = nullptr;
  platform::PortChannel* portChannel = nullptr;
  platform::DebugOutput* debugOutput = nullptr;
};

/// The bindings in use: those given to UseHwPlatform, else DefaultHwPlatform(), fetched on
/// first use (never while the library is being loaded). Thread-compatible.
const HwPlatform& CurrentHwPlatform();

/// Replaces the bindings; for test hosts, which wire fakes in code. Every field must be set.
void UseHwPlatform(const HwPlatform& bindings);

/// The bindings a build of the library is linked with. Defined once per build outside the
/// core: the shipped library's definition returns the real system bindings; test hosts and the
/// simulated test library define their own.
HwPlatform DefaultHwPlatform();

}  // namespace hwaccess
