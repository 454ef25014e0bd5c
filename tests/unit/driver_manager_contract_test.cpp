// The fake driver manager held to the contract that the real service manager meets.
#include "contract/driver_manager_contract.h"

#include "tests/fakes/driver_manager.h"

namespace {

class FakeDriverManagerBinding {
 public:
  static constexpr bool kKeepsServices = true;
  platform::DriverManager& Manager() { return manager_; }
  std::string ProgramFileName() { return "VokZylControl.exe"; }

 private:
  platform::FakeDriverManager manager_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, DriverManagerContract, FakeDriverManagerBinding);
}  // namespace zyltest
