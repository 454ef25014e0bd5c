// The exported interface and the lifetime of the library object.

#include <cstring>
#include <new>

#include "hwaccess/library_platform.h"
#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"

namespace hwaccess {

LibraryState& State() {
  static LibraryState state;
  return state;
}

void DebugText(const char* text) { CurrentHwPlatform().debugOutput->WriteNarrow(text); }

namespace {

void ReleaseObject(CQVACS* object) {
  if (object == nullptr) return;
  // The device is opened without sharing: a handle left open would also block the next open.
  if (void* device = CQVACSAccess::Device(*object)) {
    CurrentHwPlatform().driverManager->CloseDevice(device);
  }
  delete object;
}

}  // namespace
}  // namespace hwaccess

using hwaccess::DebugText;
using hwaccess::State;

int CQVACS::CurrentStatus = 0;

extern "C" {
int32_t nQVACS = 0;
}

CQVACS::CQVACS() : deviceHandle_(nullptr), path_{} {
  int is64 = 0;
  Is64Win(&is64);
  char* name = State().driverName;
  std::memset(name, 0, hwaccess::kDriverNameSize);
  std::strcpy(name, is64 ? "qvzyl64" : "qvzyl");
  DebugText("DriverName=");
  DebugText(name);
  DebugText("\n");
}

CQVACS::~CQVACS() {}

CQVACS& CQVACS::operator=(const CQVACS& other) {
  if (this == &other) return *this;
  deviceHandle_ = other.deviceHandle_;
  std::memcpy(path_, other.path_, sizeof(path_));
  return *this;
}

namespace {

int32_t InitLibrary() {
  hwaccess::LibraryState& state = State();
  hwaccess::ReleaseObject(state.object);
  state.object = nullptr;
  state.object = new (std::nothrow) CQVACS();
  CQVACS::CurrentStatus = 0;
  DebugText("QV_InitLibrary------------->\n");
  CQVACS* object = state.object;
  if (object == nullptr) {
    DebugText("QV_ERROR_NOQVOBJECT");
    return kQvNoObject;
  }

  char* path = CQVACSAccess::Path(*object);
  if (object->GetSysPath(path)) {
    DebugText(path);
    if (!object->ManageQVDriver(state.driverName, path, 1)) {
      // The last-error value is deliberately not cleared first: a rejected driver reported by
      // an earlier call also stops the reinstall.
      const int32_t error = state.lastError;
      if (error == kQvDriverFailed64 || error == kQvDriverFailed) {
        DebugText("ManageQVDriver Err");
        return error;
      }
      object->ManageQVDriver(state.driverName, path, 2);
      object->ManageQVDriver(state.driverName, path, 1);
    }
  } else {
    // No driver file path that fits: nothing sensible to install, but a driver that is already
    // running can still be reached, as when the service manager cannot be used.
    DebugText("GetSysPath Err");
  }

  object->LoadQVDriver(path);
  if (CQVACSAccess::Device(*object) == nullptr) {
    DebugText("LoadQVDriver Err");
    return state.lastError;
  }
  DebugText("<-------------QV_InitLibrary\n");
  return kQvSuccess;
}

int32_t ExitLibrary() {
  if (CQVACS::CurrentStatus != 0) return kQvExitRefused;
  hwaccess::LibraryState& state = State();
  CQVACS* object = state.object;
  if (object == nullptr) return kQvNoObject;
  void*& device = CQVACSAccess::Device(*object);
  if (device != nullptr) {
    hwaccess::CurrentHwPlatform().driverManager->CloseDevice(device);
    device = nullptr;
  }
  if (!object->ManageQVDriver(state.driverName, CQVACSAccess::Path(*object), 2)) {
    return kQvServiceNotDeleted;
  }
  delete object;
  state.object = nullptr;
  return kQvSuccess;
}

}  // namespace

// Nothing may leave the library as an exception: building the driver path and the debug text can
// run out of memory, which is answered like any other failure of these calls.
int32_t QV_InitLibrary() {
  try {
    return InitLibrary();
  } catch (...) {
    return kQvNoObject;
  }
}

int32_t QV_ExitLibrary() {
  try {
    return ExitLibrary();
  } catch (...) {
    return kQvServiceNotDeleted;
  }
}

int32_t QV_GetLastError() { return State().lastError; }

int32_t QV_SetWindowMessage(void* window, uint32_t message) {
  if (window == nullptr) return kQvNoWindow;
  if (message == 0) return kQvNoMessage;
  State().window = window;
  State().windowMessage = message;
  return kQvSuccess;
}

int32_t fnQVACS() { return 42; }
