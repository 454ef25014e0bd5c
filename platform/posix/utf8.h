#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

/// UTF-16 (the service's text form) to UTF-8 (what Linux takes). Unpaired surrogates become
/// U+FFFD, so every input gives some output.
std::string ToUtf8(std::u16string_view text);

/// UTF-8 to UTF-16. Malformed sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);

}  // namespace platform::posix
