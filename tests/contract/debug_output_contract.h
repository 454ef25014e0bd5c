// What every DebugOutput binding does: each piece reaches the debugger output as given, in
// the order written, with no line end added. One set of test bodies run against the fake,
// the Linux binding (standard error) and the Windows binding (the debugger output buffer,
// under Wine). Include in exactly one file of a test program and instantiate with a binding
// type that offers:
//   platform::DebugOutput& Output();
//   void StartCapture();
//   std::string StopCapture();   // everything written since StartCapture, as UTF-8
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/debug_output.h"

namespace zyltest {

template <typename Binding>
class DebugOutputContract : public ::testing::Test {
 protected:
  Binding binding_;
};

TYPED_TEST_SUITE_P(DebugOutputContract);

TYPED_TEST_P(DebugOutputContract, PiecesArriveAsGivenInOrder) {
  auto& output = this->binding_.Output();
  this->binding_.StartCapture();
  output.Write(u"ZYLCTRL:Contract one ");
  output.WriteNarrow("QV contract two");
  output.Write(u"\n");
  EXPECT_EQ(this->binding_.StopCapture(), "ZYLCTRL:Contract one QV contract two\n");
}

REGISTER_TYPED_TEST_SUITE_P(DebugOutputContract, PiecesArriveAsGivenInOrder);

}  // namespace zyltest
