// The bindings of the simulated library (built as sim/libqvzyl.so, for the tests only): a
// driver service manager that always succeeds and a simulated PCI bus. The bus holds the
// topology of the dump named by the environment variable ZYL_SIM_PCI_TOPOLOGY (format: see
// tests/fakes/port_channel.h); without it, or when it cannot be read, the bus is empty and
// the reason goes to the debug output. Read once, at the first library call.

#include <cstdlib>
#include <string>

#include "hwaccess/library_platform.h"
#include "tests/fakes/driver_manager.h"
#include "tests/fakes/port_channel.h"

namespace hwaccess {

HwPlatform DefaultHwPlatform() {
  static platform::FakeDriverManager manager;
  static platform::FakePciBus bus;
  platform::DebugOutput& debug = platform::SystemDebugOutput();
  if (const char* topology = std::getenv("ZYL_SIM_PCI_TOPOLOGY")) {
    std::string error;
    if (!bus.LoadDump(topology, &error)) debug.WriteNarrow("sim: " + error + "\n");
  } else {
    debug.WriteNarrow("sim: ZYL_SIM_PCI_TOPOLOGY not set, the PCI bus is empty\n");
  }
  return HwPlatform{&manager, &bus, &debug};
}

}  // namespace hwaccess
