#pragma once

#include <string>

#include "tools/zylclient/cli.h"

/// The two forms of the report, plain words and JSON, and what they share; FormatReport and
/// FormatWait choose between them.
namespace zylclient {

/// The request reached the service: a reply came, or the connection closed after it.
inline bool Exchanged(const Outcome& result) {
  return result.status == ZYL_STATUS_OK || result.status == ZYL_STATUS_CLOSED ||
         result.status == ZYL_STATUS_SHORT_REPLY;
}

/// `text` as a JSON string, quotes included.
std::string JsonString(const std::string& text);

std::string JsonReport(const CliOptions& options, const Outcome& result);
std::string TextReport(const CliOptions& options, const Outcome& result);
/// The member "wait":{...} that Main puts into the command's object.
std::string JsonWait(const WaitOutcome& wait);
std::string TextWait(const WaitOutcome& wait);

}  // namespace zylclient
