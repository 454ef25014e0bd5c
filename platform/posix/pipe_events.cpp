#include "platform/posix/pipe_events.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/debug_output.h"
#include "platform/posix/ipc_names.h"
#include "platform/posix/utf8.h"
#include "platform/windows_values.h"

namespace platform {
namespace posix_objects {

// Every handle this binding gives out points to one of these, so Close and the typed calls can
// tell what they were given.
struct Object {
  enum class Kind { kSecurity, kPipe, kEvent, kNamedEvent, kThread };
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

struct SecurityObject final : Object {
  SecurityObject() : Object(Kind::kSecurity) {}
  PosixPipeSecurity security;
};

// A client's named event. On Linux the socket tells the client all that the two events would
// (a whole reply: the command is done; the end of the stream: it was let go), so there is
// nothing to open and nothing to signal: setting and resetting it succeed and reach nobody.
struct NamedEventObject final : Object {
  NamedEventObject() : Object(Kind::kNamedEvent) {}
};

struct ThreadObject final : Object {
  ThreadObject() : Object(Kind::kThread) {}
  pthread_t thread{};
  std::mutex mutex;
  bool joined = false;
};

template <typename T>
T* As(Handle handle, Object::Kind kind) {
  auto* object = static_cast<Object*>(handle);
  return object != nullptr && object->kind == kind ? static_cast<T*>(object) : nullptr;
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace posix_objects

using posix_objects::As;
using posix_objects::CloseFd;
using posix_objects::Object;

using Clock = std::chrono::steady_clock;
constexpr auto kPieceGap = std::chrono::milliseconds(20);

// A connection accepted but not yet handed to the core: its record is still arriving.
struct PosixPipeEvents::PendingConnection {
  int fd = -1;
  uid_t owner = 0;  // the client's uid, or the user whose subordinate uid it is
  Clock::time_point deadline;
  Clock::time_point lastPiece;
  uint64_t arrival = 0;
  uint8_t record[kPipeRequestBytes] = {};
  std::size_t got = 0;
  bool complete = false;  // ready for the core: the whole record, or part of one and a pause
  bool gone = false;      // the client hung up (or its socket failed): never handed over
};

struct PosixPipeEvents::PipeObject final : Object {
  PipeObject() : Object(Kind::kPipe) {}
  ~PipeObject() override {
    for (const PendingConnection& waiting : pending) CloseFd(waiting.fd);
    CloseFd(connection.exchange(-1));
    CloseFd(listener);
    // Only the holder of the lock may remove the name.
    if (!socketPath.empty()) unlink(socketPath.c_str());
    CloseFd(lockFd);
  }
  std::string socketPath;
  int lockFd = -1;
  int listener = -1;
  std::atomic<int> connection{-1};
  // The served connection: its owner and what was read of it before it was handed over.
  uid_t connectionOwner = 0;
  uint8_t record[kPipeRequestBytes] = {};
  std::size_t recordSize = 0;
  std::size_t recordTaken = 0;
  // Used by the waiting thread alone.
  std::vector<PendingConnection> pending;
  int open = 0;                                // pending and served, of all users
  int openLimit = 0;                           // set by CreatePipe, well below the descriptor limit
  std::unordered_map<uid_t, int> openPerUser;  // pending and served
  std::unordered_map<uid_t, int> arrivingPerUser;  // pending, record still arriving
  std::unordered_map<uid_t, uint64_t> lastServed;
  uint64_t arrivals = 0;
  uint64_t served = 0;
};

struct PosixPipeEvents::EventObject final : Object {
  EventObject(int descriptor, bool manual)
      : Object(Kind::kEvent), fd(descriptor), manualReset(manual) {}
  ~EventObject() override { CloseFd(fd); }
  const int fd;
  const bool manualReset;
};

namespace {

using Kind = Object::Kind;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Permission bits r and w (as 04 and 02) for one access mask.
mode_t PermissionBits(uint32_t mask) {
  mode_t bits = 0;
  if (mask & (kFileReadData | kGenericRead | kGenericAll)) bits |= 04;
  if (mask & (kFileWriteData | kGenericWrite | kGenericAll)) bits |= 02;
  return bits;
}

gid_t AdministratorsGroup() {
  for (const char* name : {"sudo", "wheel", "admin"}) {
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (getgrnam_r(name, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
      return found->gr_gid;
    }
  }
  return 0;
}

// True when a server accepts connections on `path` right now.
bool SomeoneListens(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool listening =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return listening;
}

// Each user may hold kQueuedPerUser connections open, so the usual soft limit of 1024
// descriptors would let a few users use them all up (accept4 then fails while the listener
// stays ready). The hard limit is the process's to take. The cap on all connections is half of
// what it then has, and at most kMaxOpenConnections: the rest stays for everything else.
int OpenConnectionLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 256;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<int>(
      std::min<rlim_t>(limit.rlim_cur / 2, PosixPipeEvents::kMaxOpenConnections));
}

// True when the client has closed its end of `fd` entirely.
bool HungUp(int fd) {
  pollfd state{fd, 0, 0};
  return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

void* ThreadMain(void* start) {
  std::unique_ptr<std::pair<ThreadFunction, void*>> call(
      static_cast<std::pair<ThreadFunction, void*>*>(start));
  call->first(call->second);
  return nullptr;
}

}  // namespace

PosixPipeEvents::PosixPipeEvents(std::string runtimeDir, std::string subordinateIds)
    : runtimeDir_(std::move(runtimeDir)), owners_(std::move(subordinateIds)) {}

PosixPipeEvents::~PosixPipeEvents() {
  for (void* security : securities_) delete static_cast<Object*>(security);
}

const PosixPipeSecurity* PosixPipeEvents::DescribeSecurity(Handle security) {
  auto* object = As<posix_objects::SecurityObject>(security, Kind::kSecurity);
  return object == nullptr ? nullptr : &object->security;
}

Handle PosixPipeEvents::BuildSecurity(std::span<const PipeAccessEntry> entries) {
  auto object = std::make_unique<posix_objects::SecurityObject>();
  object->security.group = AdministratorsGroup();
  for (const PipeAccessEntry& entry : entries) {
    const std::string name = posix::ToUtf8(entry.trustee);
    const mode_t bits = PermissionBits(entry.accessMask);
    if (EqualsIgnoringCase(name, "SYSTEM")) {
      object->security.mode |= bits << 6;
    } else if (EqualsIgnoringCase(name, "Administrators")) {
      object->security.mode |= bits << 3;
    } else if (EqualsIgnoringCase(name, "Users") || EqualsIgnoringCase(name, "Everyone") ||
               EqualsIgnoringCase(name, "Authenticated Users")) {
      object->security.mode |= bits;
    } else {
      return nullptr;
    }
  }
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

  auto pipe = std::make_unique<PipeObject>();
  const std::string lockPath = path + ".lock";
  pipe->lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (pipe->lockFd < 0 || flock(pipe->lockFd, LOCK_EX | LOCK_NB) != 0) return nullptr;

  // We own the name now. A socket file still there was left by a server that died, unless
  // something that does not take the lock is listening on it.
  if (SomeoneListens(address)) return nullptr;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;

  // Made under a name of its own and renamed into place once it listens: a socket file at the
  // pipe's name always has a listener behind it, so a client never meets a half-made pipe.
  const std::string newPath = path + ".new";
  sockaddr_un newAddress{};
  if (!posix::SocketAddress(newPath, &newAddress)) return nullptr;
  if (unlink(newPath.c_str()) != 0 && errno != ENOENT) return nullptr;
  pipe->socketPath = newPath;
  pipe->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (pipe->listener < 0 || bind(pipe->listener, reinterpret_cast<const sockaddr*>(&newAddress),
                                 sizeof(newAddress)) != 0) {
    return nullptr;
  }
  // Owner and mode are set before listen(), so no client can connect under looser rules.
  const PosixPipeSecurity* wanted = DescribeSecurity(security);
  const PosixPipeSecurity ownerOnly{geteuid(), getegid(), 0600};
  const PosixPipeSecurity& applied = wanted != nullptr ? *wanted : ownerOnly;
  if (geteuid() == 0 && chown(newPath.c_str(), applied.owner, applied.group) != 0) return nullptr;
  if (chmod(newPath.c_str(), applied.mode) != 0) return nullptr;
  pipe->openLimit = OpenConnectionLimit();
  if (listen(pipe->listener, kListenBacklog) != 0) return nullptr;
  if (rename(newPath.c_str(), path.c_str()) != 0) return nullptr;
  pipe->socketPath = path;
  return pipe.release();
}

ConnectState PosixPipeEvents::Connect(Handle pipeHandle, Handle connectEvent) {
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
  auto* event = As<EventObject>(connectEvent, Kind::kEvent);
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

void PosixPipeEvents::AcceptPending(PipeObject* pipe) {
  // Up to one backlog's worth at a time: bounded, so a user who connects without pause cannot
  // keep the loop accepting, yet enough that the queue empties and another user's connect()
  // finds room at once (connections over a user's share are closed as soon as they are seen).
  for (int batch = 0; batch < kListenBacklog; ++batch) {
    const int client = accept4(pipe->listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return;  // none left (or one gave up before it was taken)
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (pipe->open >= pipe->openLimit ||
        getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      close(client);
      continue;
    }
    const uid_t owner = owners_.OwnerOf(peer.uid);
    if (pipe->openPerUser[owner] >= kQueuedPerUser) {
      close(client);
      continue;
    }
    PendingConnection waiting;
    waiting.fd = client;
    waiting.owner = owner;
    waiting.deadline = Clock::now() + std::chrono::milliseconds(kPipeReadLimitMs);
    waiting.arrival = ++pipe->arrivals;
    // A record already there makes the connection complete at once; only those still
    // arriving count against the user's few.
    ReadPending(waiting);
    // A record that came before its writer hung up is no request any more either.
    if (waiting.complete && HungUp(client)) waiting.gone = true;
    if (waiting.gone ||
        (!waiting.complete && pipe->arrivingPerUser[owner] >= kConnectionsPerUser)) {
      close(client);
      continue;
    }
    ++pipe->open;
    ++pipe->openPerUser[owner];
    if (!waiting.complete) ++pipe->arrivingPerUser[owner];
    pipe->pending.push_back(waiting);
  }
}

void PosixPipeEvents::ReadPending(PendingConnection& waiting) {
  const ssize_t got =
      recv(waiting.fd, waiting.record + waiting.got, sizeof(waiting.record) - waiting.got, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got > 0) {
    waiting.got += static_cast<std::size_t>(got);
    waiting.lastPiece = Clock::now();
  }
  // The end (or a failure) before the whole record: nothing will come to answer.
  waiting.gone = got <= 0;
  waiting.complete = waiting.got == sizeof(waiting.record);
}

void PosixPipeEvents::DropSettled(PipeObject* pipe) {
  const auto now = Clock::now();
  std::erase_if(pipe->pending, [&](PendingConnection& waiting) {
    if (!waiting.gone) {
      if (waiting.complete) return false;
      // Part of a record and then a pause: what a single read would have returned is all the
      // client sends. It goes to the core, which refuses it at once.
      if (waiting.got > 0 && waiting.lastPiece + kPieceGap <= now) {
        waiting.complete = true;
        --pipe->arrivingPerUser[waiting.owner];
        return false;
      }
      if (waiting.deadline > now) return false;
    }
    close(waiting.fd);
    --pipe->open;
    --pipe->openPerUser[waiting.owner];
    if (!waiting.complete) --pipe->arrivingPerUser[waiting.owner];
    return true;
  });
}

bool PosixPipeEvents::ServeNextReady(PipeObject* pipe) {
  if (pipe->connection.load() >= 0) return false;
  // The user served longest ago first, then the earliest arrival: nobody can queue a crowd
  // of requests in front of someone else's.
  auto chosen = pipe->pending.end();
  for (auto it = pipe->pending.begin(); it != pipe->pending.end(); ++it) {
    if (!it->complete) continue;
    if (chosen == pipe->pending.end() ||
        pipe->lastServed[it->owner] < pipe->lastServed[chosen->owner] ||
        (pipe->lastServed[it->owner] == pipe->lastServed[chosen->owner] &&
         it->arrival < chosen->arrival)) {
      chosen = it;
    }
  }
  if (chosen == pipe->pending.end()) return false;
  pipe->connectionOwner = chosen->owner;
  std::memcpy(pipe->record, chosen->record, chosen->got);
  pipe->recordSize = chosen->got;
  pipe->recordTaken = 0;
  pipe->lastServed[chosen->owner] = ++pipe->served;
  pipe->connection.store(chosen->fd);
  pipe->pending.erase(chosen);
  return true;
}

std::ptrdiff_t PosixPipeEvents::Read(Handle pipeHandle, void* buffer, std::size_t size) {
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
  const int fd = pipe == nullptr ? -1 : pipe->connection.load();
  if (fd < 0) return -1;
  if (pipe->recordTaken < pipe->recordSize) {
    // The last moment before the core acts on the record: a client that has hung up meanwhile
    // is not answered, so its command never starts.
    if (pipe->recordTaken == 0 && HungUp(fd)) return -1;
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
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
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
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
  const int fd = pipe == nullptr ? -1 : pipe->connection.load();
  if (fd < 0) return false;
  // On a Unix stream socket a write moves the bytes into the client's receive queue at once,
  // and they stay readable there after our close (the client reads them, then the end). So
  // what FlushFileBuffers waits for on Windows, that nothing written is lost by the
  // disconnect, already holds: waiting for the client to read would only hold the others up.
  return true;
}

bool PosixPipeEvents::Disconnect(Handle pipeHandle) {
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
  const int fd = pipe == nullptr ? -1 : pipe->connection.exchange(-1);
  if (fd < 0) return false;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  --pipe->open;
  --pipe->openPerUser[pipe->connectionOwner];
  pipe->recordSize = pipe->recordTaken = 0;
  return true;
}

bool PosixPipeEvents::ImpersonateClient(Handle pipeHandle) {
  auto* pipe = As<PipeObject>(pipeHandle, Kind::kPipe);
  // Nothing is opened by name on the client's behalf, so there is no identity to take.
  return pipe != nullptr && pipe->connection.load() >= 0;
}

bool PosixPipeEvents::RevertToSelf() { return true; }

Handle PosixPipeEvents::CreateEvent(bool manualReset, bool initiallySignalled) {
  const int fd = eventfd(initiallySignalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return new EventObject(fd, manualReset);
}

Handle PosixPipeEvents::OpenEvent(std::u16string_view name) {
  if (name.empty()) return nullptr;
  return new posix_objects::NamedEventObject();
}

bool PosixPipeEvents::SetEvent(Handle handle) {
  if (auto* event = As<EventObject>(handle, Kind::kEvent)) {
    const uint64_t one = 1;
    // EAGAIN only when the counter is about to overflow: it is signalled either way.
    return write(event->fd, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
  }
  return As<posix_objects::NamedEventObject>(handle, Kind::kNamedEvent) != nullptr;
}

bool PosixPipeEvents::ResetEvent(Handle handle) {
  if (auto* event = As<EventObject>(handle, Kind::kEvent)) {
    uint64_t count = 0;
    return read(event->fd, &count, sizeof(count)) == sizeof(count) || errno == EAGAIN;
  }
  return As<posix_objects::NamedEventObject>(handle, Kind::kNamedEvent) != nullptr;
}

int PosixPipeEvents::WaitForEither(Handle first, Handle second) {
  EventObject* const events[2] = {As<EventObject>(first, Kind::kEvent),
                                  As<EventObject>(second, Kind::kEvent)};
  if (events[0] == nullptr || events[1] == nullptr) return -1;
  std::vector<pollfd> watched;
  for (;;) {
    PipeObject* pipes[2] = {ListeningPipeOf(events[0]), ListeningPipeOf(events[1])};
    std::vector<PipeObject*> listening;
    for (PipeObject* pipe : pipes) {
      if (pipe != nullptr &&
          std::find(listening.begin(), listening.end(), pipe) == listening.end()) {
        listening.push_back(pipe);
      }
    }
    // Every round polls everything, also when a request is ready to be served (then without
    // waiting): whatever has arrived is read, whoever hung up or ran out of time is dropped,
    // and only then is the next request chosen. No queue of ready requests can keep a
    // connection unread.
    watched.clear();
    for (int i = 0; i < 2; ++i) {
      watched.push_back({events[i]->fd, POLLIN, 0});
      watched.push_back({pipes[i] != nullptr ? pipes[i]->listener : -1, POLLIN, 0});
    }
    auto deadline = Clock::time_point::max();
    bool ready = false;
    for (PipeObject* pipe : listening) {
      const bool free = pipe->connection.load() < 0;
      for (const PendingConnection& waiting : pipe->pending) {
        // A complete one is watched only for its hang-up, which poll reports unasked.
        watched.push_back({waiting.fd, static_cast<short>(waiting.complete ? 0 : POLLIN), 0});
        ready = ready || (waiting.complete && free);
        if (waiting.complete) continue;
        deadline = std::min(deadline, waiting.deadline);
        if (waiting.got > 0) deadline = std::min(deadline, waiting.lastPiece + kPieceGap);
      }
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
    std::size_t slot = 4;
    for (PipeObject* pipe : listening) {
      for (std::size_t k = 0; k < pipe->pending.size() && slot < watched.size(); ++k, ++slot) {
        PendingConnection& waiting = pipe->pending[k];
        const short seen = watched[slot].revents;
        if (!waiting.complete && (seen & POLLIN)) {
          ReadPending(waiting);
          if (waiting.complete) --pipe->arrivingPerUser[waiting.owner];
        }
        // Closed by the client (POLLHUP comes only once both directions are shut: one that
        // shut just its sending side still waits for its reply).
        if (seen & (POLLHUP | POLLERR | POLLNVAL)) waiting.gone = true;
      }
      DropSettled(pipe);
    }
    for (int i = 0; i < 2; ++i) {
      const pollfd& listener = watched[2 * i + 1];
      if (listener.revents & POLLNVAL) return -1;
      if (listener.revents & POLLIN) AcceptPending(pipes[i]);
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

Handle PosixPipeEvents::StartThread(ThreadFunction function, void* argument) {
  auto thread = std::make_unique<posix_objects::ThreadObject>();
  auto* call = new std::pair<ThreadFunction, void*>(function, argument);
  if (pthread_create(&thread->thread, nullptr, ThreadMain, call) != 0) {
    delete call;
    return nullptr;
  }
  return thread.release();
}

bool PosixPipeEvents::WaitForThread(Handle handle) {
  auto* thread = As<posix_objects::ThreadObject>(handle, Kind::kThread);
  if (thread == nullptr) return false;
  std::lock_guard lock(thread->mutex);
  if (!thread->joined) {
    if (pthread_join(thread->thread, nullptr) != 0) return false;
    thread->joined = true;
  }
  return true;
}

void PosixPipeEvents::Close(Handle handle) {
  auto* object = static_cast<Object*>(handle);
  if (object == nullptr) return;
  if (object->kind == Kind::kThread) {
    auto* thread = static_cast<posix_objects::ThreadObject*>(object);
    // Closing the handle of a running thread lets it run on, as CloseHandle does.
    if (!thread->joined) pthread_detach(thread->thread);
  } else {
    std::lock_guard lock(mutex_);
    if (object->kind == Kind::kSecurity) std::erase(securities_, object);
    if (object->kind == Kind::kEvent) listening_.erase(static_cast<EventObject*>(object));
    if (object->kind == Kind::kPipe) {
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
