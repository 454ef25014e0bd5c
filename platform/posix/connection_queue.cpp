#include "platform/posix/connection_queue.h"

#include <algorithm>

namespace platform::posix {
namespace {

// Adds what one read gave to the connection; true when the read ended it.
void Apply(ConnectionQueue::Connection& connection, std::ptrdiff_t got,
           ConnectionQueue::Clock::time_point now) {
  if (got == ConnectionQueue::kNothingYet) return;
  if (got > 0) {
    connection.got =
        std::min(connection.got + static_cast<std::size_t>(got), ConnectionQueue::kRecordBytes);
    connection.lastPiece = now;
  } else {
    // The end (or a failure) before the whole record: nothing will come to answer.
    connection.gone = true;
  }
  connection.complete = connection.got == ConnectionQueue::kRecordBytes;
}

void Adjust(std::unordered_map<uid_t, int>& counts, uid_t owner, int delta) {
  const int now = counts[owner] += delta;
  if (now <= 0) counts.erase(owner);
}

int CountOf(const std::unordered_map<uid_t, int>& counts, uid_t owner) {
  const auto found = counts.find(owner);
  return found == counts.end() ? 0 : found->second;
}

}  // namespace

bool ConnectionQueue::HasRoomFor(uid_t owner) const {
  return open_ < limits_.open && CountOf(openPerOwner_, owner) < limits_.openPerOwner;
}

bool ConnectionQueue::Add(Connection connection, std::ptrdiff_t got, Clock::time_point now) {
  if (!HasRoomFor(connection.owner)) return false;
  Apply(connection, got, now);
  if (connection.gone) return false;
  if (!connection.complete &&
      CountOf(arrivingPerOwner_, connection.owner) >= limits_.arrivingPerOwner) {
    return false;
  }
  connection.deadline = now + limits_.readLimit;
  connection.arrival = ++arrivals_;
  Count(connection, +1);
  waiting_.push_back(connection);
  return true;
}

void ConnectionQueue::Received(Connection& connection, std::ptrdiff_t got, Clock::time_point now) {
  const bool wasComplete = connection.complete;
  Apply(connection, got, now);
  if (!wasComplete && connection.complete) Adjust(arrivingPerOwner_, connection.owner, -1);
}

void ConnectionQueue::Settle(Clock::time_point now, std::vector<int>& closed) {
  std::erase_if(waiting_, [&](Connection& connection) {
    if (!connection.gone) {
      if (connection.complete) return false;
      // Part of a record and then a pause: what a single read would have returned is all the
      // client sends. It goes to the core, which refuses it at once.
      if (connection.got > 0 && connection.lastPiece + limits_.pieceGap <= now) {
        connection.complete = true;
        Adjust(arrivingPerOwner_, connection.owner, -1);
        return false;
      }
      if (connection.deadline > now) return false;
    }
    closed.push_back(connection.fd);
    Count(connection, -1);
    return true;
  });
}

ConnectionQueue::Clock::time_point ConnectionQueue::NextDeadline() const {
  auto next = Clock::time_point::max();
  for (const Connection& connection : waiting_) {
    if (connection.complete) continue;
    next = std::min(next, connection.deadline);
    if (connection.got > 0) next = std::min(next, connection.lastPiece + limits_.pieceGap);
  }
  return next;
}

bool ConnectionQueue::AnyComplete() const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [](const Connection& connection) { return connection.complete; });
}

std::optional<ConnectionQueue::Connection> ConnectionQueue::TakeNext() {
  const auto servedLast = [this](uid_t owner) {
    const auto found = lastServed_.find(owner);
    return found == lastServed_.end() ? uint64_t{0} : found->second;
  };
  auto chosen = waiting_.end();
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (!it->complete || it->gone) continue;
    if (chosen == waiting_.end() || servedLast(it->owner) < servedLast(chosen->owner) ||
        (servedLast(it->owner) == servedLast(chosen->owner) && it->arrival < chosen->arrival)) {
      chosen = it;
    }
  }
  if (chosen == waiting_.end()) return std::nullopt;
  Connection taken = *chosen;
  waiting_.erase(chosen);
  lastServed_[taken.owner] = ++served_;
  return taken;
}

void ConnectionQueue::Finished(uid_t owner) {
  --open_;
  Adjust(openPerOwner_, owner, -1);
}

void ConnectionQueue::Count(const Connection& connection, int delta) {
  open_ += delta;
  Adjust(openPerOwner_, connection.owner, delta);
  if (!connection.complete) Adjust(arrivingPerOwner_, connection.owner, delta);
}

}  // namespace platform::posix
