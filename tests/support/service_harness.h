#pragma once

#include <cstring>
#include <vector>

#include "service/lifecycle.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"
#include "tests/fakes/debug_output.h"
#include "tests/fakes/pipe_events.h"
#include "tests/fakes/service_control.h"

namespace zylservice {

/// The service wired to in-memory bindings, with command handlers that tests choose.
class ServiceHarness {
 public:
  ServiceHarness();
  ~ServiceHarness();

  /// Runs the program entry on this thread until the dispatcher returns.
  int Run() { return RunServiceProgram(); }
  /// Stops the service (as the service manager would) the first time the loop has nothing to do.
  void StopWhenIdle(uint32_t control = platform::kServiceControlStop);

  platform::FakeServiceControl scm;
  platform::FakePipeEvents pipe;
  platform::FakeDebugOutput debug;
  ServicePlatform bindings;
};

std::vector<uint8_t> Bytes(const zylprotocol::ZylRequest& request);
zylprotocol::ZylRequest Record(uint32_t command, uint32_t matchId = 0x11112222,
                               uint32_t matchSubsys = 0x33334444, uint32_t count = 7,
                               int32_t result = -77, uint16_t vendor = 0x5555,
                               uint16_t device = 0x6666);
zylprotocol::ZylRequest FromBytes(const std::vector<uint8_t>& bytes);

}  // namespace zylservice
