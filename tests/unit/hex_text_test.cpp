#include "common/hex_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using common::HexCase;
using common::HexText;
using common::PutHex;

std::string Printf(const char* format, int width, unsigned value) {
  char text[32];
  std::snprintf(text, sizeof(text), format, width, value);
  return text;
}

// The forms the product writes are printf's: each against printf itself, at the edges of
// the digit counts and the width.
TEST(HexText, IsWhatPrintfWrites) {
  for (const unsigned value : {0u, 1u, 0xFu, 0x10u, 0x1Fu, 0xABCDu, 0x10000u, 0xFFFFFFFFu}) {
    for (const int width : {0, 1, 2, 4, 8, 10}) {
      EXPECT_EQ(HexText(value, width), Printf("%0*X", width, value)) << value << " " << width;
      EXPECT_EQ(HexText(value, width, ' ', HexCase::kLower), Printf("%*x", width, value))
          << value << " " << width;
    }
  }
}

TEST(HexText, WritesUtf16) {
  EXPECT_EQ(HexText(0x8086, 4, u' '), u"8086");
  EXPECT_EQ(HexText(0xAB, 4, u' '), u"  AB");
  EXPECT_EQ(HexText(0x1F, 0, u' ', HexCase::kLower), u"1f");
}

// In place: exactly `digits` characters, the rest of the buffer untouched.
TEST(HexText, PutsDigitsInPlace) {
  char path[] = "0000:00:00.0";
  PutHex(path + 5, 0x3A, 2, HexCase::kLower);
  PutHex(path + 8, 0x1F, 2, HexCase::kLower);
  PutHex(path + 11, 0x7, 1, HexCase::kLower);
  EXPECT_STREQ(path, "0000:3a:1f.7");
  char truncated[] = "xxxx";
  PutHex(truncated + 1, 0x1234, 2);  // only the low digits
  EXPECT_STREQ(truncated, "x34x");
  static_assert(common::HexDigitCount(0) == 1 && common::HexDigitCount(0xF) == 1 &&
                common::HexDigitCount(0x10) == 2 && common::HexDigitCount(0xFFFFFFFF) == 8);
}

}  // namespace
