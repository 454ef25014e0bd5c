#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace platform::posix {

/// The connections the pipe has accepted and not yet handed to the core, and the rules that
/// decide which of them may stay and which is served next. It reads and closes nothing: the
/// binding reads into a connection's record and reports what it got, and closes what the queue
/// lets go.
///
/// - A connection counts as complete once its whole record has arrived, or part of one came and
///   `pieceGap` passed without more (what one read of a pipe would have returned; the core then
///   refuses it). One that is not complete within `readLimit` of its arrival, or whose client
///   hung up before it was served, is let go.
/// - Each owner may have `openPerOwner` connections open (queued and served), of which
///   `arrivingPerOwner` still arriving; all owners together `open`.
/// - Among complete connections, the owner served longest ago goes first, then the earliest
///   arrival: a request whose owner has nothing else pending starts after at most one command
///   per other owner with something pending.
/// Not thread-safe: the pipe's waiting thread alone uses it.
class ConnectionQueue {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kRecordBytes = 24;

  struct Limits {
    int open;
    int openPerOwner;
    int arrivingPerOwner;
    Clock::duration readLimit;
    Clock::duration pieceGap;
  };

  struct Connection {
    int fd = -1;
    uid_t owner = 0;
    uint8_t record[kRecordBytes] = {};
    std::size_t got = 0;
    bool complete = false;
    bool gone = false;  // hung up or failed: never handed over
    Clock::time_point deadline;
    Clock::time_point lastPiece;
    uint64_t arrival = 0;
  };

  explicit ConnectionQueue(Limits limits) : limits_(limits) {}

  /// Whether one more connection of `owner` may be opened at all.
  bool HasRoomFor(uid_t owner) const;
  /// Takes a new connection after its first read, which left `got` in `connection.record`:
  /// the count of bytes, 0 when the client had closed, -1 when the read failed, or `kNothingYet`.
  /// False when it is refused (gone, no room, or its owner's share of connections still
  /// arriving is used up): the caller closes it.
  static constexpr std::ptrdiff_t kNothingYet = -2;
  bool Add(Connection connection, std::ptrdiff_t got, Clock::time_point now);

  /// Queued connections, in the order of Add; a caller reads into `record + got` and reports.
  std::vector<Connection>& Waiting() { return waiting_; }
  /// What a read of a queued connection gave, as for Add.
  void Received(Connection& connection, std::ptrdiff_t got, Clock::time_point now);
  void HungUp(Connection& connection) { connection.gone = true; }

  /// Lets go of what is gone or out of time and completes what paused; appends their
  /// descriptors to `closed` for the caller to close.
  void Settle(Clock::time_point now, std::vector<int>& closed);
  /// The earliest moment Settle has something to do; max() when nothing is arriving.
  Clock::time_point NextDeadline() const;
  bool AnyComplete() const;

  /// The next complete connection, removed from the queue; it stays counted as open until
  /// Finished(its owner).
  std::optional<Connection> TakeNext();
  void Finished(uid_t owner);

  int Open() const { return open_; }

 private:
  void Count(const Connection& connection, int delta);

  const Limits limits_;
  std::vector<Connection> waiting_;
  int open_ = 0;
  std::unordered_map<uid_t, int> openPerOwner_;
  std::unordered_map<uid_t, int> arrivingPerOwner_;
  std::unordered_map<uid_t, uint64_t> lastServed_;
  uint64_t arrivals_ = 0;
  uint64_t served_ = 0;
};

}  // namespace platform::posix
