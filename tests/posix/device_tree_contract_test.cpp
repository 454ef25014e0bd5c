// The Linux device tree held to the DeviceTree contract, over the emulated sysfs tree.
#include "contract/device_tree_contract.h"

#include "platform/posix/device_tree.h"
#include "posix/support/device_sysfs_emulator.h"

namespace {

class SysfsDeviceTreeBinding {
 public:
  SysfsDeviceTreeBinding() { sysfs_.Add(EmulatedAdapter()); }
  ~SysfsDeviceTreeBinding() { EXPECT_EQ(sysfs_.StrayWrites(), 0); }
  platform::DeviceTree& Tree() { return tree_; }
  std::u16string FirstHardwareId() { return u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00"; }

 private:
  DeviceSysfsEmulator sysfs_;
  platform::SysfsDeviceTree tree_{sysfs_.Root(), sysfs_.Hook()};
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Sysfs, DeviceTreeContract, SysfsDeviceTreeBinding);
}  // namespace zyltest
