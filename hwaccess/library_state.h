#pragma once

#include <cstdint>

#include "hwaccess/qvzyl.h"
#include "platform/windows_values.h"

namespace hwaccess {

/// Length of the driver-name buffer, terminator included.
inline constexpr int kDriverNameSize = 16;
/// Length of the driver-path buffer, terminator included.
inline constexpr int kMaxPath = static_cast<int>(platform::kMaxPath);

/// The library's process-wide state. One copy per process, not guarded: the host calls the
/// library one call at a time.
struct LibraryState {
  CQVACS* object = nullptr;            ///< the library object, or none
  int32_t lastError = 0;               ///< what QV_GetLastError answers
  char driverName[kDriverNameSize]{};  ///< "qvzyl64" or "qvzyl", chosen by the constructor
  void* window = nullptr;              ///< kept by QV_SetWindowMessage, read by nothing
  uint32_t windowMessage = 0;          ///< kept by QV_SetWindowMessage, read by nothing
};

LibraryState& State();

/// Sends one piece of text to the debugger output, as given.
void DebugText(const char* text);

}  // namespace hwaccess

/// The exports' view of a CQVACS object's fields, kept out of the exported class itself.
struct CQVACSAccess {
  static void*& Device(CQVACS& object) { return object.deviceHandle_; }
  static char* Path(CQVACS& object) { return object.path_; }
};
