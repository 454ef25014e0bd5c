#include "platform/posix/pipe_events.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/debug_output.h"
#include "platform/posix/connection_queue.h"
#include "platform/posix/ipc_names.h"
#include "platform/posix/pipe_objects.h"
#include "platform/posix/pipe_socket.h"
#include "platform/windows_values.h"

namespace platform {

using posix::ConnectionQueue;
using posix::objects::As;
using posix::objects::EventObject;
using posix::objects::Object;
using posix::objects::SecurityObject;
using posix::objects::ThreadObject;
using Clock = ConnectionQueue::Clock;

static_assert(kPipeRequestBytes == ConnectionQueue::kRecordBytes);

struct PosixPipeEvents::PipeObject final : Object {
  static constexpr Kind kKind = Kind::kPipe;
  explicit PipeObject(int capacity)
      : Object(kKind),
        queue({capacity, kQueuedPerUser, kConnectionsPerUser,
               std::chrono::milliseconds(kPipeReadLimitMs), std::chrono::milliseconds(20)}) {}
  ~PipeObject() override {
    for (const ConnectionQueue::Connection& waiting : queue.Waiting()) close(waiting.fd);
    const int served = connection.exchange(-1);
    if (served >= 0) close(served);
  }
  posix::PipeSocket socket;
  ConnectionQueue queue;  // used by the waiting thread alone
  std::atomic<int> connection{-1};
  // The served connection: its owner and the record read of it before it was handed over.
  uid_t connectionOwner = 0;
  uint8_t record[kPipeRequestBytes] = {};
  std::size_t recordSize = 0;
  std::size_t recordTaken = 0;
  int lookedAt = -1;  // accepted in this wait and seen not to have hung up since
};

namespace {

// True when the client has closed its end of `fd` entirely.
bool HungUp(int fd) {
  pollfd state{fd, 0, 0};
  return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

// One read into what is missing of a queued connection's record, as the queue takes it.
std::ptrdiff_t ReadMore(ConnectionQueue::Connection& waiting) {
  const ssize_t got =
      recv(waiting.fd, waiting.record + waiting.got, sizeof(waiting.record) - waiting.got, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return ConnectionQueue::kNothingYet;
  }
  return got;
}

}  // namespace

PosixPipeEvents::PosixPipeEvents(std::string runtimeDir, std::string subordinateIds)
    : runtimeDir_(std::move(runtimeDir)), owners_(std::move(subordinateIds)) {}

PosixPipeEvents::~PosixPipeEvents() {
  for (void* security : securities_) delete static_cast<Object*>(security);
}

const posix::SocketFileAccess* PosixPipeEvents::DescribeSecurity(Handle security) {
  auto* object = As<SecurityObject>(security);
  return object == nullptr ? nullptr : &object->access;
}

Handle PosixPipeEvents::BuildSecurity(std::span<const PipeAccessEntry> entries) {
  auto object = std::make_unique<SecurityObject>();
  if (!posix::SocketAccessFor(entries, &object->access)) return nullptr;
  // Kept here as well: a descriptor lives for the whole process, whether or not its maker
  // keeps the handle.
  std::lock_guard lock(mutex_);
  securities_.push_back(object.get());
  return object.release();
}

Handle PosixPipeEvents::CreatePipe(const PipeSettings& settings, Handle security) {
  const std::string path = posix::PipeSocketPath(runtimeDir_, settings.name);
  sockaddr_un address{};
  if (path.empty() || !posix::SocketAddress(path, &address)) return nullptr;
  if ((settings.openMode & kPipeAccessDuplex) != kPipeAccessDuplex || settings.maxInstances != 1) {
    return nullptr;
  }
  std::string why;
  if (!posix::EnsureRuntimeDir(runtimeDir_, &why)) {
    SystemDebugOutput().WriteNarrow("ZYLCTRL:Refusing the runtime directory " + runtimeDir_ + ": " +
                                    why + "\n");
    return nullptr;
  }
  const posix::SocketFileAccess* wanted = DescribeSecurity(security);
  const posix::SocketFileAccess ownerOnly{geteuid(), getegid(), 0600};
  auto pipe = std::make_unique<PipeObject>(posix::ConnectionCapacity(kMaxOpenConnections));
  if (!pipe->socket.Open(path, wanted != nullptr ? *wanted : ownerOnly, kListenBacklog)) {
    return nullptr;
  }
  return pipe.release();
}

ConnectState PosixPipeEvents::Connect(Handle pipeHandle, Handle connectEvent) {
  auto* pipe = As<PipeObject>(pipeHandle);
  auto* event = As<EventObject>(connectEvent);
  if (pipe == nullptr || event == nullptr) return ConnectState::kFailed;
  // Still connected to a client that was never disconnected (ERROR_PIPE_CONNECTED).
  if (pipe->connection.load() >= 0) return ConnectState::kConnected;
  // A client that connected before this call waits in the backlog and is seen by the next
  // wait like any other, so there is no "connected before the call" case here.
  std::lock_guard lock(mutex_);
  listening_[event] = pipe;
  return ConnectState::kPending;
}

PosixPipeEvents::PipeObject* PosixPipeEvents::ListeningPipeOf(EventObject* event) {
  std::lock_guard lock(mutex_);
  const auto found = listening_.find(event);
  return found == listening_.end() ? nullptr : found->second;
}

void PosixPipeEvents::AcceptWaiting(PipeObject* pipe) {
  // Up to one backlog's worth at a time: bounded, so a user who connects without pause cannot
  // keep the loop accepting, yet enough that the backlog empties and another user's connect()
  // finds room at once (connections over a user's share are closed as soon as they are seen).
  for (int batch = 0; batch < kListenBacklog; ++batch) {
    ConnectionQueue::Connection waiting;
    waiting.fd = accept4(pipe->socket.Listener(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (waiting.fd < 0) return;  // none left (or one gave up before it was taken)
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (getsockopt(waiting.fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      close(waiting.fd);
      continue;
    }
    waiting.owner = owners_.OwnerOf(peer.uid);
    // A record already there makes the connection complete at once; one that hung up after it
    // is caught when it is chosen.
    if (!pipe->queue.HasRoomFor(waiting.owner) ||
        !pipe->queue.Add(waiting, ReadMore(waiting), Clock::now())) {
      close(waiting.fd);
      continue;
    }
    // The usual case, one whole request and nobody else: one look tells whether its client has
    // hung up and whether anyone else is waiting, so no accept has to fail to say the backlog is
    // empty, and the choice need not look at it again.
    auto& queued = pipe->queue.Waiting();
    if (batch == 0 && queued.size() == 1 && queued[0].complete && pipe->connection.load() < 0) {
      pollfd look[2] = {{waiting.fd, 0, 0}, {pipe->socket.Listener(), POLLIN, 0}};
      if (poll(look, 2, 0) < 0) continue;
      if (look[0].revents & (POLLHUP | POLLERR)) {
        pipe->queue.HungUp(queued[0]);
      } else {
        pipe->lookedAt = waiting.fd;
      }
      if (!(look[1].revents & POLLIN)) return;
    }
  }
}

void PosixPipeEvents::Settle(PipeObject* pipe) {
  std::vector<int> closed;
  pipe->queue.Settle(Clock::now(), closed);
  for (const int fd : closed) close(fd);
}

bool PosixPipeEvents::ServeNextReady(PipeObject* pipe) {
  if (pipe->connection.load() >= 0) return false;
  while (std::optional<ConnectionQueue::Connection> chosen = pipe->queue.TakeNext()) {
    // The last look before the core acts on the record: a client that has hung up since it was
    // last polled (or since it was accepted, in this very wait) is not answered, so its command
    // never starts.
    const bool justLookedAt = chosen->fd == pipe->lookedAt;
    pipe->lookedAt = -1;
    if (!justLookedAt && HungUp(chosen->fd)) {
      close(chosen->fd);
      pipe->queue.Finished(chosen->owner);
      continue;
    }
    pipe->connectionOwner = chosen->owner;
    std::memcpy(pipe->record, chosen->record, chosen->got);
    pipe->recordSize = chosen->got;
    pipe->recordTaken = 0;
    pipe->connection.store(chosen->fd);
    return true;
  }
  return false;
}

std::ptrdiff_t PosixPipeEvents::Read(Handle pipeHandle, void* buffer, std::size_t size) {
  auto* pipe = As<PipeObject>(pipeHandle);
  const int fd = pipe == nullptr ? -1 : pipe->connection.load();
  if (fd < 0) return -1;
  if (pipe->recordTaken < pipe->recordSize) {
    const std::size_t n = std::min(size, pipe->recordSize - pipe->recordTaken);
    std::memcpy(buffer, pipe->record + pipe->recordTaken, n);
    pipe->recordTaken += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  pollfd ready{fd, POLLIN, 0};
  int polled;
  while ((polled = poll(&ready, 1, kPipeReadLimitMs)) < 0 && errno == EINTR) {
  }
  if (polled <= 0) return -1;  // nothing within the limit
  for (;;) {
    const ssize_t got = recv(fd, buffer, size, 0);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool PosixPipeEvents::Write(Handle pipeHandle, const void* data, std::size_t size) {
  auto* pipe = As<PipeObject>(pipeHandle);
  const int fd = pipe == nullptr ? -1 : pipe->connection.load();
  if (fd < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      // The connection is non-blocking; a full buffer gets as long as a flush would.
      pollfd room{fd, POLLOUT, 0};
      if (errno == EAGAIN && poll(&room, 1, kPipeFlushLimitMs) > 0) continue;
      return false;
    }
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool PosixPipeEvents::Flush(Handle pipeHandle) {
  auto* pipe = As<PipeObject>(pipeHandle);
  // On a Unix stream socket a write moves the bytes into the client's receive queue at once,
  // and they stay readable there after our close (the client reads them, then the end). So
  // what FlushFileBuffers waits for on Windows, that nothing written is lost by the
  // disconnect, already holds: waiting for the client to read would only hold the others up.
  return pipe != nullptr && pipe->connection.load() >= 0;
}

bool PosixPipeEvents::Disconnect(Handle pipeHandle) {
  auto* pipe = As<PipeObject>(pipeHandle);
  const int fd = pipe == nullptr ? -1 : pipe->connection.exchange(-1);
  if (fd < 0) return false;
  // This is the connection's only descriptor (close-on-exec, never duplicated), so closing it
  // ends the stream for the client.
  close(fd);
  pipe->queue.Finished(pipe->connectionOwner);
  pipe->recordSize = pipe->recordTaken = 0;
  return true;
}

bool PosixPipeEvents::ImpersonateClient(Handle pipeHandle) {
  auto* pipe = As<PipeObject>(pipeHandle);
  // Nothing is opened by name on the client's behalf, so there is no identity to take.
  return pipe != nullptr && pipe->connection.load() >= 0;
}

bool PosixPipeEvents::RevertToSelf() { return true; }

int PosixPipeEvents::WaitForEither(Handle first, Handle second) {
  EventObject* const events[2] = {As<EventObject>(first), As<EventObject>(second)};
  if (events[0] == nullptr || events[1] == nullptr) return -1;
  std::vector<pollfd> watched;
  for (;;) {
    PipeObject* pipes[2] = {ListeningPipeOf(events[0]), ListeningPipeOf(events[1])};
    PipeObject* const listening[2] = {pipes[0], pipes[1] != pipes[0] ? pipes[1] : nullptr};
    // Every round polls everything, also when a request is ready to be served (then without
    // waiting): whatever has arrived is read, whoever hung up or ran out of time is dropped,
    // and only then is the next request chosen. No queue of ready requests can keep a
    // connection unread.
    watched.clear();
    for (int i = 0; i < 2; ++i) {
      watched.push_back({events[i]->fd, POLLIN, 0});
      watched.push_back({pipes[i] != nullptr ? pipes[i]->socket.Listener() : -1, POLLIN, 0});
    }
    watched.push_back({owners_.ChangeDescriptor(), POLLIN, 0});
    constexpr std::size_t kFirstConnection = 5;
    auto deadline = Clock::time_point::max();
    bool ready = false;
    for (PipeObject* pipe : listening) {
      if (pipe == nullptr) continue;
      for (const ConnectionQueue::Connection& waiting : pipe->queue.Waiting()) {
        // A complete one is watched only for its hang-up, which poll reports unasked.
        watched.push_back({waiting.fd, static_cast<short>(waiting.complete ? 0 : POLLIN), 0});
      }
      ready = ready || (pipe->connection.load() < 0 && pipe->queue.AnyComplete());
      deadline = std::min(deadline, pipe->queue.NextDeadline());
    }
    int timeoutMs = -1;
    if (ready) {
      timeoutMs = 0;
    } else if (deadline != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    if (poll(watched.data(), watched.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (watched[4].revents & POLLIN) owners_.Refresh();
    for (PipeObject* pipe : listening) {
      if (pipe != nullptr) pipe->lookedAt = -1;
    }
    std::size_t slot = kFirstConnection;
    for (PipeObject* pipe : listening) {
      if (pipe == nullptr) continue;
      auto& waiting = pipe->queue.Waiting();
      for (std::size_t k = 0; k < waiting.size() && slot < watched.size(); ++k, ++slot) {
        const short seen = watched[slot].revents;
        if (!waiting[k].complete && (seen & POLLIN)) {
          pipe->queue.Received(waiting[k], ReadMore(waiting[k]), Clock::now());
        }
        // Closed by the client (POLLHUP comes only once both directions are shut: one that
        // shut just its sending side still waits for its reply).
        if (seen & (POLLHUP | POLLERR | POLLNVAL)) pipe->queue.HungUp(waiting[k]);
      }
      Settle(pipe);
    }
    for (int i = 0; i < 2; ++i) {
      const pollfd& listener = watched[2 * i + 1];
      if (listener.revents & POLLNVAL) return -1;
      if (listener.revents & POLLIN) AcceptWaiting(pipes[i]);
      if (listener.revents & (POLLERR | POLLHUP)) return -1;
    }
    // In index order, so a request that completed together with a stop is served first.
    for (int i = 0; i < 2; ++i) {
      if (pipes[i] != nullptr && ServeNextReady(pipes[i])) {
        {
          std::lock_guard lock(mutex_);
          listening_.erase(events[i]);
        }
        // An auto-reset event is consumed by this wait at once, a manual-reset one stays set.
        if (events[i]->manualReset) SetEvent(events[i]);
        return i;
      }
      const pollfd& own = watched[2 * i];
      if (own.revents & POLLNVAL) return -1;
      if (own.revents & POLLIN) {
        if (events[i]->manualReset) return i;
        uint64_t count = 0;
        if (read(events[i]->fd, &count, sizeof(count)) == sizeof(count)) return i;
      }
    }
  }
}

void PosixPipeEvents::Close(Handle handle) {
  auto* object = static_cast<Object*>(handle);
  if (object == nullptr) return;
  if (auto* thread = As<ThreadObject>(handle)) {
    // Closing the handle of a running thread lets it run on, as CloseHandle does.
    if (!thread->joined) pthread_detach(thread->thread);
  } else {
    std::lock_guard lock(mutex_);
    if (object->kind == Object::Kind::kSecurity) std::erase(securities_, object);
    if (auto* event = As<EventObject>(handle)) listening_.erase(event);
    if (object->kind == Object::Kind::kPipe) {
      std::erase_if(listening_, [object](const auto& entry) { return entry.second == object; });
    }
  }
  delete object;
}

PipeEvents& SystemPipeEvents() {
  // Never destroyed: the service thread may still close its pipe while the process exits.
  static auto* instance = new PosixPipeEvents(posix::DefaultRuntimeDir());
  return *instance;
}

}  // namespace platform
