#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace platform::posix {

/// A named event shared between processes: the Linux form of a Windows named event object.
///
/// Each event is a small file (mode 0600, in its user's own events directory) mapped into every
/// process that holds it: a signalled word that waiters sleep on with a process-shared futex,
/// and a count of open handles. The reset mode is each opener's own, never the file's. No
/// process touches the mapping itself: every read and write goes through pread/pwrite and only
/// the kernel reads the word for the futex, so a file that is truncated makes calls fail
/// rather than raise SIGBUS. Set and Reset take no lock, so nobody can stall the one that
/// signals.
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
  /// OpenEventW: null when the event does not exist or cannot be opened. The handle is a
  /// manual-reset one: waiting on it consumes nothing.
  static std::unique_ptr<SharedEvent> Open(const std::string& path);
  /// Takes over `fd`, an event file its caller has opened and checked, for Set and Reset only
  /// (EVENT_MODIFY_STATE): no lock is taken and the handle is not counted, so the event's
  /// owner decides alone when its file goes. Null (and `fd` closed) when the file is no event.
  static std::unique_ptr<SharedEvent> AdoptForSignalling(int fd);

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

  /// Whether the event's name still leads to this event's file (nobody removed or replaced it).
  /// Unlike the calls above, not for several threads at once.
  bool StillAtItsName();

  bool AlreadyExisted() const { return alreadyExisted_; }
  bool ManualReset() const { return manualReset_; }

  struct State;

 private:
  SharedEvent(std::string path, int fd, State* state, bool alreadyExisted, bool manualReset);
  bool TakeSignal();  // the auto-reset take: true when this wait consumed the signal

  std::string path_;
  int fd_;
  State* state_;
  bool alreadyExisted_;
  bool manualReset_;
  bool counted_ = true;  // false for AdoptForSignalling
  dev_t device_ = 0;     // the file's, once StillAtItsName has looked
  ino_t inode_ = 0;
};

}  // namespace platform::posix
