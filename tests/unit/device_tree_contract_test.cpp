// The fake device tree held to the contract that the Linux binding meets.
#include "contract/device_tree_contract.h"

#include "tests/fakes/device_tree.h"

namespace {

class FakeDeviceTreeBinding {
 public:
  FakeDeviceTreeBinding() { tree_.AddNode({FirstHardwareId(), u"PCI\\VEN_104D&DEV_81CE"}); }
  platform::DeviceTree& Tree() { return tree_; }
  std::u16string FirstHardwareId() { return u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00"; }

 private:
  platform::FakeDeviceTree tree_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, DeviceTreeContract, FakeDeviceTreeBinding);
}  // namespace zyltest
