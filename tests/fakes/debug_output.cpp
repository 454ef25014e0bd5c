#include "tests/fakes/debug_output.h"

namespace platform {

void FakeDebugOutput::Write(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  pieces_.emplace_back(text);
}

void FakeDebugOutput::WriteNarrow(std::string_view text) {
  std::lock_guard lock(mutex_);
  pieces_.emplace_back(text.begin(), text.end());
  narrow_.append(text);
}

std::vector<std::u16string> FakeDebugOutput::Pieces() const {
  std::lock_guard lock(mutex_);
  return pieces_;
}

std::u16string FakeDebugOutput::Text() const {
  std::lock_guard lock(mutex_);
  std::u16string all;
  for (const auto& piece : pieces_) all += piece;
  return all;
}

std::string FakeDebugOutput::NarrowText() const {
  std::lock_guard lock(mutex_);
  return narrow_;
}

}  // namespace platform
