#include "support/fuzz_hw_platform.h"

#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"

namespace hwaccess {

// The fuzz programs have no real bindings; the library only falls back to these when a
// target forgets StartHwInput.
HwPlatform DefaultHwPlatform() {
  static platform::FakeDriverManager manager;
  static platform::FakePciBus bus;
  static CapturedDebugOutput debug;
  return HwPlatform{&manager, &bus, &debug};
}

}  // namespace hwaccess

void StartHwInput(HwFakes& fakes) {
  EndHwInput();
  hwaccess::UseHwPlatform({&fakes.manager, &fakes.bus, &fakes.debug});
}

void EndHwInput() {
  // The destructor does nothing, so deleting never reaches a binding.
  delete hwaccess::State().object;
  hwaccess::State() = hwaccess::LibraryState{};
  CQVACS::CurrentStatus = 0;
}
