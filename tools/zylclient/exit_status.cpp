// Exit statuses: what a script learns from the program without reading its report.
#include "protocol/result_codes.h"
#include "tools/zylclient/cli.h"

namespace zylclient {

int ExitStatus(const Outcome& result) {
  switch (result.status) {
    case ZYL_STATUS_OK:
      return ExitStatusOfResult(result.reply.result);
    case ZYL_STATUS_NO_SERVICE:
    case ZYL_STATUS_BUSY:
    case ZYL_STATUS_NOT_THE_SERVICE:
      return kExitNoService;
    case ZYL_STATUS_CLOSED:
    case ZYL_STATUS_SHORT_REPLY:
      return kExitNoReply;
    case ZYL_STATUS_TIMEOUT:
      return kExitTimeout;
  }
  return kExitFailed;
}

int ExitStatusOfResult(int32_t result) {
  switch (result) {
    case kResultDone:
    case kResultAdapterWorks:
      return kExitDone;
    case kResultAdapterHasProblem:
      return kExitAdapterProblem;
    case kResultStateChangeRefused:
      return kExitRefused;
    case kResultNoContext:
      return kExitNoSession;
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return kExitNotFound;
  }
  return kExitServiceFailed;
}

int ExitStatusOfWait(const WaitOutcome& wait) {
  if (wait.status != ZYL_STATUS_OK) {
    Outcome failed;
    failed.status = wait.status;
    return ExitStatus(failed);
  }
  switch (wait.result) {
    case kResultAdapterHasProblem:
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return kExitNotBack;
  }
  return ExitStatusOfResult(wait.result);
}

}  // namespace zylclient
