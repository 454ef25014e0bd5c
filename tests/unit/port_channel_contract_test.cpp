// The fake PCI bus held to the contract that the real port channels meet.
#include "contract/port_channel_contract.h"

#include "tests/fakes/port_channel.h"

namespace {

class FakePortChannelBinding {
 public:
  FakePortChannelBinding() {
    for (const auto& f : zyltest::kContractBus) {
      bus_.AddFunction(f.bus, f.device, f.function, f.id, f.subsystem, f.command);
    }
  }
  platform::PortChannel& Channel() { return bus_; }
  platform::Handle Device() { return &bus_; }
  platform::Handle NotADevice() { return nullptr; }

 private:
  platform::FakePciBus bus_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, PortChannelContract, FakePortChannelBinding);
}  // namespace zyltest
