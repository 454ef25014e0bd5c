// Exit statuses: what a script learns from the program without reading its report.
#include "protocol/result_codes.h"
#include "tools/zylclient/cli.h"

using namespace zylprotocol;

namespace zylclient {

ExitCode ExitStatus(const Outcome& result) {
  switch (result.status) {
    case ZYL_STATUS_OK:
      return ExitStatusOfResult(result.reply.result);
    case ZYL_STATUS_NO_SERVICE:
    case ZYL_STATUS_BUSY:
    case ZYL_STATUS_NOT_THE_SERVICE:
      return ExitCode::kNoService;
    case ZYL_STATUS_CLOSED:
    case ZYL_STATUS_SHORT_REPLY:
      return ExitCode::kNoReply;
    case ZYL_STATUS_TIMEOUT:
      return ExitCode::kTimeout;
  }
  return ExitCode::kFailed;
}

ExitCode ExitStatusOfResult(int32_t result) {
  switch (result) {
    case kResultDone:
    case kResultAdapterWorks:
      return ExitCode::kDone;
    case kResultAdapterHasProblem:
      return ExitCode::kAdapterProblem;
    case kResultStateChangeRefused:
      return ExitCode::kRefused;
    case kResultNoContext:
      return ExitCode::kNoSession;
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return ExitCode::kNotFound;
  }
  return ExitCode::kServiceFailed;
}

ExitCode ExitStatusOfWait(const WaitOutcome& wait) {
  if (wait.status != ZYL_STATUS_OK) {
    Outcome failed;
    failed.status = wait.status;
    return ExitStatus(failed);
  }
  switch (wait.result) {
    case kResultAdapterHasProblem:
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return ExitCode::kNotBack;
  }
  return ExitStatusOfResult(wait.result);
}

}  // namespace zylclient
