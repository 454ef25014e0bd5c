#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/include/zyl/zylclient.h"

/// The command line: zylclient, on the client library's public interface alone, and zylprobe,
/// the tests' protocol probe, which also sends raw bytes, leaves out the events and reports
/// which events the service set.
namespace zylclient {

/// What the command line asks for.
struct CliOptions {
  zyl_record request{};
  std::vector<uint8_t> raw;  // --raw (probe): sent instead of the record when not empty
  bool json = false;
  bool createEvents = true;  // --no-events (probe)
  uint32_t timeoutMs = 0;    // 0: the library's default, 60000
  std::string runtimeDir;
  bool restart = false;                 // "restart": disable, enable, then wait
  std::optional<uint32_t> waitSeconds;  // --wait (enable, restart): query until it works
  bool help = false;
  bool version = false;  // --version: print the product version and stop
};

/// What came of one request.
struct Outcome {
  int status = ZYL_STATUS_FAILED;  // a ZYL_STATUS_* value
  zyl_record reply{};              // with ZYL_STATUS_OK
  std::string message;             // the cause of a failure, in plain words
  // What only the probe sees: the bytes of a short reply and the service's two events.
  bool eventsWatched = false;
  bool eventsUsed = true;  // false on Linux, where the socket is the whole exchange
  std::size_t replyBytes = 0;
  bool commandDoneBeforeReply = false;
  bool disconnectedAfterReply = false;
};

/// Parses `zylclient <command> [options]`; `probe` also takes the probe's options. On failure
/// returns nothing and sets `error`.
std::optional<CliOptions> ParseArguments(const std::vector<std::string>& arguments,
                                         std::string* error, bool probe = false);

/// "load", "count", ... for 0..4, empty for other codes.
std::string CommandName(uint32_t command);
/// What a result code of a reply means, in a few words.
std::string ResultMeaning(int32_t result);

/// The report on standard output: plain words, or one JSON object.
std::string FormatReport(const CliOptions& options, const Outcome& outcome);

/// Exit statuses, as the usage text, the man page and the README list them. A script can tell
/// from them what happened without reading the report; Main returns them as the process's
/// exit status.
enum class ExitCode {
  kDone = 0,           // the command did what it was asked
  kServiceFailed = 1,  // the service answered another failure
  kBadArguments = 2,
  kNoService = 3,       // not running, busy, or the pipe is not the service's
  kNoReply = 4,         // closed without a (whole) reply
  kTimeout = 5,         // no reply in time; the command may or may not have run
  kFailed = 6,          // any other failure to talk to the service
  kAdapterProblem = 7,  // query: 3
  kRefused = 8,         // -101
  kNoSession = 9,       // -107: load first
  kNotFound = 10,       // -102, or query: 4
  kNotBack = 11,        // --wait, restart: the adapter did not work in time
};

/// How long restart waits for the adapter without --wait.
inline constexpr uint32_t kRestartWaitSeconds = 30;

/// What came of waiting for the adapter (zyl_wait_until_working).
struct WaitOutcome {
  int status = ZYL_STATUS_FAILED;
  int32_t result = 0;  // the last query's answer, with ZYL_STATUS_OK
  std::string message;
  uint32_t waitedMs = 0;
  uint32_t waitMs = 0;  // what was allowed
};

/// The report of a wait, after the command's own: a line, or for JSON a member
/// ("wait":{...}) that Main puts into the command's object.
std::string FormatWait(bool json, const WaitOutcome& wait);
/// Exit status after a wait: kDone when the adapter works, kNotBack when it did not come back
/// in time, otherwise as for any other answer.
ExitCode ExitStatusOfWait(const WaitOutcome& wait);

/// Process exit status for a request: that of the reply's result when one came, otherwise
/// the transport failure's.
ExitCode ExitStatus(const Outcome& outcome);
/// The exit status of a reply's result code.
ExitCode ExitStatusOfResult(int32_t result);

/// What a refused command line prints: on standard output as JSON when --json is among the
/// arguments, otherwise the message and the usage text for standard error.
std::string UsageError(const std::vector<std::string>& arguments, const std::string& error);

/// The line shown on a terminal while a reply takes long (without the line end).
std::string WaitingLine(const CliOptions& options, int waitingFor, uint32_t elapsedMs);

std::string UsageText();

/// How a program sends one request: the library's zyl_request, or the probe's own exchange.
using SendFn = Outcome (*)(const CliOptions& options, const zyl_options& library);

/// The whole program: parses `arguments`, sends, prints, and returns the exit status.
int Main(const std::vector<std::string>& arguments, bool probe, SendFn send);

}  // namespace zylclient
