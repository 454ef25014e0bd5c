// What every UserNotice binding does: the notice reaches the person's channel with its caption
// and text, and Show returns rather than waiting for somebody who is not there. One set of
// test bodies run against the fake, the Linux binding (standard error, the journal) and the
// Windows binding (its debugger line, under Wine: Wine has no console session to show the box
// in). Include in exactly one file of a test program and instantiate with a binding type that
// offers:
//   platform::UserNotice& Notice();
//   void StartCapture();
//   std::string StopCapture();   // what reached the channel since StartCapture, as UTF-8
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/user_notice.h"

namespace zyltest {

template <typename Binding>
class UserNoticeContract : public ::testing::Test {
 protected:
  Binding binding_;
};

TYPED_TEST_SUITE_P(UserNoticeContract);

TYPED_TEST_P(UserNoticeContract, CaptionAndTextReachThePersonsChannel) {
  this->binding_.StartCapture();
  // As the core shows it: the program's path as caption, MB_ICONEXCLAMATION.
  this->binding_.Notice().Show(u"C:\\Zyl\\VokZylControl.exe", u"GetDeviceRegistryProperty failed.",
                               0x30);
  const std::string seen = this->binding_.StopCapture();
  EXPECT_NE(seen.find("C:\\Zyl\\VokZylControl.exe"), std::string::npos) << seen;
  EXPECT_NE(seen.find("GetDeviceRegistryProperty failed."), std::string::npos) << seen;
}

REGISTER_TYPED_TEST_SUITE_P(UserNoticeContract, CaptionAndTextReachThePersonsChannel);

}  // namespace zyltest
