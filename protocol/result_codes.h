#pragma once

#include <cstdint>

namespace zylprotocol {

/// Every code the service can put in a reply's `result`, defined once. The handlers, the
/// device-node operations, the pipe server, the client library's texts and the README's table
/// all come from this table (a test compares the README with it).
inline constexpr int32_t kResultNoDeviceList = 0;
inline constexpr int32_t kResultDone = 1;
inline constexpr int32_t kResultAdapterWorks = 2;
inline constexpr int32_t kResultAdapterHasProblem = 3;
inline constexpr int32_t kResultCommandRegisterZero = 4;
inline constexpr int32_t kResultStateChangeRefused = -101;
inline constexpr int32_t kResultAdapterNotFound = -102;
inline constexpr int32_t kResultLibraryNotLoaded = -105;
inline constexpr int32_t kResultExportMissing = -106;
/// Commands 1 to 4 before any load: nothing was touched.
inline constexpr int32_t kResultNoContext = -107;
/// No memory for a new context: the earlier one, if any, stays current.
inline constexpr int32_t kResultNoMemory = -108;
inline constexpr int32_t kResultCountFailed = -200;
/// No worker thread could be started for a command: the command did not run.
inline constexpr int32_t kResultWorkerNotStarted = -300;

struct ResultCodeInfo {
  int32_t code;
  const char* name;      ///< a short name, as the command line prints it
  const char* meaning;   ///< one sentence, as the README's table gives it
  const char* commands;  ///< the commands that can answer it, as the README lists them
};

inline constexpr ResultCodeInfo kResultCodes[] = {
    {kResultDone, "done", "done", "0, 1, 3, 4"},
    {kResultAdapterWorks, "adapter works", "the adapter works", "2"},
    {kResultAdapterHasProblem, "adapter has a problem",
     "the adapter has a problem (for example it is disabled)", "2"},
    {kResultCommandRegisterZero, "command register is zero",
     "the adapter's PCI command register reads zero (or no function has that index)", "2"},
    {kResultNoDeviceList, "no device list",
     "the device list could not be created (a notice was shown)", "2, 3, 4"},
    {kResultStateChangeRefused, "state change refused", "a state change was refused", "3, 4"},
    {kResultAdapterNotFound, "adapter not found", "the adapter's device node was not found",
     "2, 3, 4"},
    {kResultLibraryNotLoaded, "library not loaded",
     "the hardware access library could not be loaded, or it or its folder can be changed by "
     "others than administrators (a debugger line says so)",
     "0"},
    {kResultExportMissing, "export missing",
     "the library lacks an export the command needs (a notice was shown)", "0, 1, 2"},
    {kResultNoContext, "no library session",
     "no library session yet: send command 0 first (nothing was touched)", "1, 2, 3, 4"},
    {kResultNoMemory, "no memory", "no memory for a new session; the previous one, if any, stays",
     "0"},
    {kResultCountFailed, "count failed", "the library's count function reported failure", "1"},
    {kResultWorkerNotStarted, "worker not started",
     "the service could not start a worker for the command; it did not run", "all"},
};

/// The table's entry for `code`, or null for a code the service never answers.
constexpr const ResultCodeInfo* FindResultCode(int32_t code) {
  for (const ResultCodeInfo& info : kResultCodes) {
    if (info.code == code) return &info;
  }
  return nullptr;
}

}  // namespace zylprotocol
