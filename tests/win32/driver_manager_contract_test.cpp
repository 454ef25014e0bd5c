// The Windows driver manager held to the DriverManager contract, against the real service
// manager (under Wine).
#include "contract/driver_manager_contract.h"

namespace {

class Win32DriverManagerBinding {
 public:
  static constexpr bool kKeepsServices = true;
  platform::DriverManager& Manager() { return platform::SystemDriverManager(); }
  std::string ProgramFileName() { return "win32_tests.exe"; }
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DriverManagerContract, Win32DriverManagerBinding);
}  // namespace zyltest
