#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

/// Hexadecimal digits of unsigned numbers, written the one way for every part of the product:
/// hardware IDs ("VEN_8086"), error-code titles ("0x1f"), the command line's report
/// ("0x0000ABCD"), call logs and the sysfs paths of PCI functions. Header-only, so that every
/// target may use it without linking anything: the portable core, the platform bindings, the
/// fakes and the tools.
namespace common {

enum class HexCase { kUpper, kLower };

/// How many hexadecimal digits `value` takes without leading zeros; one for zero.
constexpr int HexDigitCount(uint32_t value) {
  int count = 1;
  while ((value >>= 4) != 0) ++count;
  return count;
}

/// Writes the low `digits` hexadecimal digits of `value` to out[0] .. out[digits - 1], the
/// most significant first, with no terminator: in place, allocating nothing.
template <typename Char>
constexpr void PutHex(Char* out, uint32_t value, int digits, HexCase letters = HexCase::kUpper) {
  const char* table = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int at = digits - 1; at >= 0; --at, value >>= 4) {
    out[at] = static_cast<Char>(table[value & 0xF]);
  }
}

/// `value` in hexadecimal without a prefix, at least `width` characters wide, filled on the
/// left with `pad`: printf's "%0*X" with '0', "%*X" with ' ', "%X" with width 1.
template <typename Char = char>
std::basic_string<Char> HexText(uint32_t value, int width = 1, Char pad = Char{'0'},
                                HexCase letters = HexCase::kUpper) {
  const int digits = HexDigitCount(value);
  std::basic_string<Char> text(static_cast<std::size_t>(std::max(width, digits)), pad);
  PutHex(text.data() + (text.size() - static_cast<std::size_t>(digits)), value, digits, letters);
  return text;
}

}  // namespace common
