#pragma once

#include "client/include/zyl/zylclient.h"

/// Every transport status a call of the client library can answer, defined once: the library's
/// zyl_status_text and the command line's reports both come from this table.
namespace zylclient {

struct StatusInfo {
  int status;        ///< a ZYL_STATUS_* value
  const char* name;  ///< the reports' short name ("reply", "not-running", ...)
  const char* text;  ///< zyl_status_text: a few plain words
};

inline constexpr StatusInfo kStatuses[] = {
    {ZYL_STATUS_OK, "reply", "reply received"},
    {ZYL_STATUS_NO_SERVICE, "not-running", "the service is not running"},
    {ZYL_STATUS_BUSY, "busy", "the service stayed busy with another client; nothing was sent"},
    {ZYL_STATUS_NO_EVENTS, "events-failed", "the events cannot be made; nothing was sent"},
    {ZYL_STATUS_CLOSED, "no-reply", "the service closed the connection without a reply"},
    {ZYL_STATUS_SHORT_REPLY, "short-reply",
     "the service closed the connection after part of a reply"},
    {ZYL_STATUS_TIMEOUT, "timeout", "no reply within the time-out; the command may or may not run"},
    {ZYL_STATUS_NOT_THE_SERVICE, "not-the-service",
     "the pipe is not served by the service; nothing was sent"},
    {ZYL_STATUS_FAILED, "failed", "the connection failed"},
    // The command line checks its arguments itself: to its reports this is one more failure.
    {ZYL_STATUS_BAD_ARGUMENT, "failed", "bad argument"},
};

/// The table's entry for `status`, or null for a value the library never answers.
constexpr const StatusInfo* FindStatus(int status) {
  for (const StatusInfo& info : kStatuses) {
    if (info.status == status) return &info;
  }
  return nullptr;
}

}  // namespace zylclient
