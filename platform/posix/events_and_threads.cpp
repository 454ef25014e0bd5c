// Events and threads of the Linux PipeEvents binding; the wait is in pipe_events.cpp, since it
// waits on pipes too.
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/posix/pipe_events.h"
#include "platform/posix/pipe_objects.h"

namespace platform {

using posix::objects::As;
using posix::objects::EventObject;
using posix::objects::NamedEventObject;
using posix::objects::ThreadObject;

namespace {

void* ThreadMain(void* start) {
  std::unique_ptr<std::pair<ThreadFunction, void*>> call(
      static_cast<std::pair<ThreadFunction, void*>*>(start));
  call->first(call->second);
  return nullptr;
}

}  // namespace

Handle PosixPipeEvents::CreateEvent(bool manualReset, bool initiallySignalled) {
  const int fd = eventfd(initiallySignalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return new EventObject(fd, manualReset);
}

Handle PosixPipeEvents::OpenEvent(std::u16string_view name) {
  if (name.empty()) return nullptr;
  return new NamedEventObject();
}

bool PosixPipeEvents::SetEvent(Handle handle) {
  if (auto* event = As<EventObject>(handle)) {
    const uint64_t one = 1;
    // EAGAIN only when the counter is about to overflow: it is signalled either way.
    return write(event->fd, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
  }
  return As<NamedEventObject>(handle) != nullptr;
}

bool PosixPipeEvents::ResetEvent(Handle handle) {
  if (auto* event = As<EventObject>(handle)) {
    uint64_t count = 0;
    return read(event->fd, &count, sizeof(count)) == sizeof(count) || errno == EAGAIN;
  }
  return As<NamedEventObject>(handle) != nullptr;
}

Handle PosixPipeEvents::StartThread(ThreadFunction function, void* argument) {
  auto thread = std::make_unique<ThreadObject>();
  auto* call = new std::pair<ThreadFunction, void*>(function, argument);
  if (pthread_create(&thread->thread, nullptr, ThreadMain, call) != 0) {
    delete call;
    return nullptr;
  }
  return thread.release();
}

bool PosixPipeEvents::WaitForThread(Handle handle) {
  auto* thread = As<ThreadObject>(handle);
  if (thread == nullptr) return false;
  std::lock_guard lock(thread->mutex);
  if (!thread->joined) {
    if (pthread_join(thread->thread, nullptr) != 0) return false;
    thread->joined = true;
  }
  return true;
}

}  // namespace platform
