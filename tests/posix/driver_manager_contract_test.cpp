// The Linux stand-in service manager held to the DriverManager contract.
#include "contract/driver_manager_contract.h"

#include "platform/posix/driver_manager.h"

namespace {

class PosixDriverManagerBinding {
 public:
  static constexpr bool kKeepsServices = false;
  platform::DriverManager& Manager() { return manager_; }
  std::string ProgramFileName() { return "posix_tests"; }

 private:
  platform::PosixDriverManager manager_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Posix, DriverManagerContract, PosixDriverManagerBinding);
}  // namespace zyltest
