// What every PortChannel binding answers, as configuration mechanism #1 through the port-I/O
// driver: one set of test bodies run against the fake bus, the Linux sysfs channel (over an
// emulated tree) and the Windows channel (under Wine, against the test kernel driver). Include
// in exactly one file of a test program and instantiate with a binding type that offers:
//   platform::PortChannel& Channel();
//   platform::Handle Device();            // the driver's device
//   platform::Handle NotADevice();        // a handle that is not the driver's (null where the
//                                         // binding tells no handles apart)
// and whose bus holds exactly kContractBus.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "hwaccess/pci_scan.h"
#include "platform/port_channel.h"

namespace zyltest {

/// One function of the contract's bus: bus, device, function and three dwords.
struct ContractFunction {
  unsigned bus, device, function;
  uint32_t id, command, subsystem;
};
inline constexpr ContractFunction kContractBus[] = {
    {0x00, 0x00, 0, 0x0D578086, 0x00100007, 0x11112222},
    {0x3A, 0x1F, 7, 0x12345678, 0x00000146, 0x7A1B0001},
};

using hwaccess::PciConfigAddress;

template <typename Binding>
class PortChannelContract : public ::testing::Test {
 protected:
  uint32_t ReadConfig(unsigned bus, unsigned device, unsigned function, unsigned reg) {
    auto& channel = binding_.Channel();
    channel.WritePort(binding_.Device(), platform::kPciConfigAddressPort,
                      PciConfigAddress(bus, device, function, reg));
    return channel.ReadPort(binding_.Device(), platform::kPciConfigDataPort);
  }
  Binding binding_;
};

TYPED_TEST_SUITE_P(PortChannelContract);

TYPED_TEST_P(PortChannelContract, AnswersAsConfigurationMechanismOne) {
  const auto& host = kContractBus[0];
  const auto& far = kContractBus[1];
  EXPECT_EQ(this->ReadConfig(host.bus, host.device, host.function, 0x00), host.id);
  EXPECT_EQ(this->ReadConfig(host.bus, host.device, host.function, 0x04), host.command);
  EXPECT_EQ(this->ReadConfig(host.bus, host.device, host.function, 0x2C), host.subsystem);
  EXPECT_EQ(this->ReadConfig(far.bus, far.device, far.function, 0x00), far.id);
  EXPECT_EQ(this->ReadConfig(far.bus, far.device, far.function, 0x2F), far.subsystem);  // aligned
  // The latch reads back as written.
  auto& channel = this->binding_.Channel();
  EXPECT_EQ(channel.ReadPort(this->binding_.Device(), platform::kPciConfigAddressPort),
            PciConfigAddress(far.bus, far.device, far.function, 0x2F));
}

TYPED_TEST_P(PortChannelContract, AbsentFunctionsAndDisabledAddressesReadAllOnes) {
  EXPECT_EQ(this->ReadConfig(0, 0, 1, 0x00), 0xFFFFFFFFu);
  EXPECT_EQ(this->ReadConfig(0xFF, 31, 7, 0x00), 0xFFFFFFFFu);
  auto& channel = this->binding_.Channel();
  const platform::Handle device = this->binding_.Device();
  channel.WritePort(device, platform::kPciConfigAddressPort, 0x00000000);  // no enable bit
  EXPECT_EQ(channel.ReadPort(device, platform::kPciConfigDataPort), 0xFFFFFFFFu);
  EXPECT_EQ(channel.ReadPort(device, 0x80), 0u);  // another port
}

TYPED_TEST_P(PortChannelContract, FailedTransfersReadZeroAndWriteNothing) {
  auto& channel = this->binding_.Channel();
  const platform::Handle device = this->binding_.Device();
  channel.WritePort(device, platform::kPciConfigAddressPort, PciConfigAddress(0, 0, 0, 0));
  for (platform::Handle refused : {platform::Handle{nullptr}, this->binding_.NotADevice()}) {
    EXPECT_EQ(channel.ReadPort(refused, platform::kPciConfigAddressPort), 0u);
    EXPECT_EQ(channel.ReadPort(refused, platform::kPciConfigDataPort), 0u);
    channel.WritePort(refused, platform::kPciConfigAddressPort, PciConfigAddress(0, 0, 1, 0));
  }
  // The refused writes left the latch alone.
  EXPECT_EQ(channel.ReadPort(device, platform::kPciConfigDataPort), kContractBus[0].id);
}

// The scan's walk over a run of functions: the first that answers, never an absent one, and
// the latch where the transfers one by one would leave it. Runs stay within bus 0x3A, so the
// Windows channel under Wine makes a few hundred transfers, not 131,072.
TYPED_TEST_P(PortChannelContract, FindFunctionStopsAtTheFirstAnswerLikeTheTransfers) {
  auto& channel = this->binding_.Channel();
  const platform::Handle device = this->binding_.Device();
  const auto& host = kContractBus[0];
  const auto& far = kContractBus[1];
  const uint32_t farFunction = far.bus << 8 | far.device << 3 | far.function;
  constexpr uint32_t kBus = 0x3A00;
  constexpr uint32_t kNextBus = 0x3B00;
  const auto latch = [&] { return channel.ReadPort(device, platform::kPciConfigAddressPort); };

  EXPECT_EQ(channel.FindFunction(device, 0, 1, 0x00, host.id), 0u);
  EXPECT_EQ(channel.FindFunction(device, kBus, kNextBus, 0x00, far.id), farFunction);
  EXPECT_EQ(latch(), PciConfigAddress(far.bus, far.device, far.function, 0x00));
  EXPECT_EQ(channel.FindFunction(device, kBus, kNextBus, 0x2C, far.subsystem), farFunction);
  // Past it, or asking what nobody answers: the end, with the latch on the last function.
  EXPECT_EQ(channel.FindFunction(device, farFunction + 1, kNextBus, 0x00, far.id), kNextBus);
  EXPECT_EQ(channel.FindFunction(device, kBus, kNextBus, 0x00, host.id), kNextBus);
  EXPECT_EQ(latch(), PciConfigAddress(0x3A, 31, 7, 0x00));
  EXPECT_EQ(channel.FindFunction(device, kBus, kNextBus, 0x00, 0xFFFFFFFFu), kNextBus)
      << "an absent function's all ones never counts";
  EXPECT_EQ(channel.FindFunction(device, kBus, kBus, 0x00, far.id), kBus) << "an empty run";
  EXPECT_EQ(channel.FindFunction(nullptr, kBus, kNextBus, 0x00, far.id), kNextBus)
      << "failed transfers answer nothing";
}

REGISTER_TYPED_TEST_SUITE_P(PortChannelContract, AnswersAsConfigurationMechanismOne,
                            AbsentFunctionsAndDisabledAddressesReadAllOnes,
                            FailedTransfersReadZeroAndWriteNothing,
                            FindFunctionStopsAtTheFirstAnswerLikeTheTransfers);

}  // namespace zyltest
