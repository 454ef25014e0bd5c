#pragma once

#include <memory>
#include <string>

namespace platform::posix {

/// A named event shared between processes: the Linux form of a Windows named event object.
///
/// Each event is a small file (mode 0666) mapped into every process that holds it: a signalled
/// word that waiters sleep on with a process-shared futex, the reset mode, and a count of open
/// handles. Set and Reset take no lock, so no other process can stall the one that signals,
/// and they read and write the file rather than the mapping, so a file that its owner
/// truncates makes them fail rather than kill the process.
/// Opening and closing take a short flock on the file: the last handle to close removes the
/// file, as the last CloseHandle destroys a Windows event, and an open that races with that
/// removal sees the event as gone. A process that dies without closing leaves its count
/// behind; the file then stays until its directory is cleared (systemd removes the service's
/// runtime directory when the service stops).
///
/// Thread-safe: Set, Reset, IsSignalled and Wait may be called from any thread.
class SharedEvent {
 public:
  /// CreateEventW with a name: makes the event, or opens it when it exists already (then
  /// `manualReset` and `initiallySignalled` are ignored and `AlreadyExisted` is true).
  /// Null when the file cannot be made or opened (for instance when its directory is missing).
  static std::unique_ptr<SharedEvent> Create(const std::string& path, bool manualReset,
                                             bool initiallySignalled);
  /// OpenEventW: null when the event does not exist or cannot be opened.
  static std::unique_ptr<SharedEvent> Open(const std::string& path);

  ~SharedEvent();
  SharedEvent(const SharedEvent&) = delete;
  SharedEvent& operator=(const SharedEvent&) = delete;

  /// False when the file can no longer be written.
  bool Set();
  bool Reset();
  bool IsSignalled() const;
  /// Waits until signalled, at most `timeoutMs` (negative: without limit). An auto-reset
  /// event is consumed by the wait that sees it. False on time-out.
  bool Wait(int timeoutMs);

  bool AlreadyExisted() const { return alreadyExisted_; }
  bool ManualReset() const { return manualReset_; }

  struct State;

 private:
  SharedEvent(std::string path, int fd, State* state, bool alreadyExisted);

  std::string path_;
  int fd_;
  State* state_;
  bool alreadyExisted_;
  bool manualReset_ = false;
};

}  // namespace platform::posix
