#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

/// Reads a fuzzer's input front to back. Past the end every read answers zero, so every input
/// describes some scenario and hand-made seeds stay easy to write. Thread-compatible.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  /// Up to `count` bytes (fewer when the input ends first).
  std::vector<uint8_t> Bytes(std::size_t count) {
    const std::size_t taken = std::min(count, size_ - at_);
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + taken);
    at_ += taken;
    return bytes;
  }
  std::size_t Remaining() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};
