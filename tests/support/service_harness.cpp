#include "support/service_harness.h"

using zylprotocol::ZylRequest;

namespace zylservice {

ServiceHarness::ServiceHarness() {
  ResetServiceStateForTesting();
  bindings.serviceControl = &scm;
  bindings.pipeEvents = &pipe;
  bindings.debugOutput = &debug;
  UsePlatform(bindings);
}

ServiceHarness::~ServiceHarness() {
  ResetServiceStateForTesting();
  UsePlatform(ServicePlatform{});
}

void ServiceHarness::StopWhenIdle(uint32_t control) {
  pipe.OnIdle([this, control, posted = false]() mutable {
    if (!posted) scm.PostControl(control);
    posted = true;
  });
}

std::vector<uint8_t> Bytes(const ZylRequest& request) {
  std::vector<uint8_t> bytes(sizeof request);
  std::memcpy(bytes.data(), &request, sizeof request);
  return bytes;
}

ZylRequest Record(uint32_t command, uint32_t matchId, uint32_t matchSubsys, uint32_t count,
                  int32_t result, uint16_t vendor, uint16_t device) {
  return ZylRequest{command, matchId, matchSubsys, count, result, vendor, device};
}

ZylRequest FromBytes(const std::vector<uint8_t>& bytes) {
  ZylRequest request{};
  std::memcpy(&request, bytes.data(), std::min(bytes.size(), sizeof request));
  return request;
}

}  // namespace zylservice
