#pragma once

#include <pthread.h>
#include <unistd.h>

#include <mutex>

#include "platform/handle.h"
#include "platform/posix/pipe_socket.h"

// What the handles of the Linux PipeEvents binding point to. Every handle it gives out is one
// of these, so Close and the typed calls can tell what they were given.
namespace platform::posix::objects {

struct Object {
  enum class Kind { kSecurity, kPipe, kEvent, kNamedEvent, kThread };
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

template <typename T>
T* As(Handle handle) {
  auto* object = static_cast<Object*>(handle);
  return object != nullptr && object->kind == T::kKind ? static_cast<T*>(object) : nullptr;
}

struct SecurityObject final : Object {
  static constexpr Kind kKind = Kind::kSecurity;
  SecurityObject() : Object(kKind) {}
  SocketFileAccess access;
};

/// An unnamed event: an eventfd whose counter is its state.
struct EventObject final : Object {
  static constexpr Kind kKind = Kind::kEvent;
  EventObject(int descriptor, bool manual) : Object(kKind), fd(descriptor), manualReset(manual) {}
  ~EventObject() override { close(fd); }
  const int fd;
  const bool manualReset;
};

/// A client's named event. On Linux the socket tells the client all that the two events would
/// (a whole reply: the command is done; the end of the stream: it was let go), so there is
/// nothing to open and nothing to signal: setting and resetting it succeed and reach nobody.
struct NamedEventObject final : Object {
  static constexpr Kind kKind = Kind::kNamedEvent;
  NamedEventObject() : Object(kKind) {}
};

struct ThreadObject final : Object {
  static constexpr Kind kKind = Kind::kThread;
  ThreadObject() : Object(kKind) {}
  pthread_t thread{};
  std::mutex mutex;
  bool joined = false;
};

}  // namespace platform::posix::objects
