// The fake debugger output held to the contract that the real ones meet.
#include "contract/debug_output_contract.h"

#include "tests/fakes/debug_output.h"

namespace {

class FakeDebugOutputBinding {
 public:
  platform::DebugOutput& Output() { return output_; }
  void StartCapture() {}
  // The pieces are ASCII here: the fake keeps them in UTF-16.
  std::string StopCapture() {
    const std::u16string text = output_.Text();
    return std::string(text.begin(), text.end());
  }

 private:
  platform::FakeDebugOutput output_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, DebugOutputContract, FakeDebugOutputBinding);
}  // namespace zyltest
