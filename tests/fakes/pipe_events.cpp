#include "tests/fakes/pipe_events.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/windows_values.h"
#include "protocol/names.h"

using zylprotocol::kCommandDoneEventName;
using zylprotocol::kDisconnectedEventName;

namespace platform {

namespace {

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}
}  // namespace

struct FakePipeEvents::Object {
  enum class Kind { kSecurity, kPipe, kEvent, kThread };
  explicit Object(Kind k) : kind(k) {}
  Kind kind;
  std::shared_ptr<FakeEventState> event;
  std::thread thread;
};

FakePipeEvents::FakePipeEvents() = default;

FakePipeEvents::~FakePipeEvents() {
  for (Object* object : live_) {
    if (object->thread.joinable()) object->thread.join();
    delete object;
  }
}

FakePipeEvents::Object* FakePipeEvents::Track(std::unique_ptr<Object> object) {
  Object* raw = object.release();
  live_.insert(raw);
  return raw;
}

FakePipeEvents::Object* FakePipeEvents::Find(Handle handle) const {
  auto* object = static_cast<Object*>(handle);
  return live_.count(object) > 0 ? object : nullptr;
}

std::shared_ptr<FakeEventState> FakePipeEvents::EventOf(Handle handle) const {
  Object* object = Find(handle);
  return object != nullptr && object->kind == Object::Kind::kEvent ? object->event : nullptr;
}

std::string FakePipeEvents::EventLabel(const FakeEventState& event) const {
  return event.name.empty() ? "<unnamed>" : Narrow(event.name);
}

Handle FakePipeEvents::BuildSecurity(std::span<const PipeAccessEntry> entries) {
  if (log_.Record("BuildSecurity")) return nullptr;
  std::lock_guard lock(mutex_);
  securityEntries_.clear();
  for (const auto& entry : entries) securityEntries_.emplace_back(entry.trustee, entry.accessMask);
  securities_.push_back(std::make_unique<Object>(Object::Kind::kSecurity));
  return securities_.back().get();
}

Handle FakePipeEvents::CreatePipe(const PipeSettings& settings, Handle security) {
  if (log_.Record("CreatePipe") || security == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  // FILE_FLAG_FIRST_PIPE_INSTANCE: the name must not be served already.
  const bool pipeLive = std::any_of(live_.begin(), live_.end(),
                                    [](const Object* o) { return o->kind == Object::Kind::kPipe; });
  if ((settings.openMode & kFileFlagFirstPipeInstance) != 0 && pipeLive &&
      pipeName_ == settings.name) {
    return nullptr;
  }
  pipeSettings_ = settings;
  pipeName_ = settings.name;
  pipeSettings_.name = pipeName_;
  return Track(std::make_unique<Object>(Object::Kind::kPipe));
}

void FakePipeEvents::StartConnectionLocked() {
  current_ = std::make_unique<Connection>();
  current_->client = std::move(queue_.front());
  queue_.pop_front();
  if (current_->client.createsEvents || current_->client.createsFirstEventOnly) {
    current_->outcome.commandDone = std::make_shared<FakeEventState>();
    current_->outcome.commandDone->name = kCommandDoneEventName;
  }
  if (current_->client.createsEvents) {
    current_->outcome.disconnected = std::make_shared<FakeEventState>();
    current_->outcome.disconnected->name = kDisconnectedEventName;
    // A fresh client's event starts signalled from an earlier round, so a missing reset shows.
    current_->outcome.disconnected->signalled = true;
  }
  NameEventLocked(current_->outcome.commandDone);
  NameEventLocked(current_->outcome.disconnected);
}

void FakePipeEvents::NameEventLocked(const std::shared_ptr<FakeEventState>& event) {
  if (event != nullptr) named_[event->name] = event;
}

void FakePipeEvents::ForgetClientEventsLocked() {
  // A client that has been let go closes its events; only the service's handles keep them.
  for (const auto& event : {current_->outcome.commandDone, current_->outcome.disconnected}) {
    auto found = event != nullptr ? named_.find(event->name) : named_.end();
    if (found != named_.end() && found->second.lock() == event) named_.erase(found);
  }
}

std::shared_ptr<FakeEventState> FakePipeEvents::CreateNamedEvent(std::u16string name,
                                                                 bool manualReset,
                                                                 bool initiallySignalled) {
  auto event = std::make_shared<FakeEventState>();
  event->name = std::move(name);
  event->manualReset = manualReset;
  event->signalled = initiallySignalled;
  std::lock_guard lock(mutex_);
  NameEventLocked(event);
  return event;
}

bool FakePipeEvents::IsSignalled(const FakeEventState& event) const {
  std::lock_guard lock(mutex_);
  return event.signalled;
}

ConnectState FakePipeEvents::Connect(Handle pipe, Handle connectEvent) {
  if (log_.Record("Connect")) return ConnectState::kFailed;
  std::lock_guard lock(mutex_);
  if (Find(pipe) == nullptr) return ConnectState::kFailed;
  // ERROR_PIPE_CONNECTED: the client being served is still connected.
  if (current_ != nullptr) return ConnectState::kConnected;
  if (!queue_.empty() && queue_.front().connectedBeforeListen) {
    StartConnectionLocked();
    return ConnectState::kConnected;
  }
  listening_ = true;
  listenEvent_ = EventOf(connectEvent);
  if (current_ == nullptr && !queue_.empty()) {
    StartConnectionLocked();
    listening_ = false;
    if (listenEvent_) SignalLocked(*listenEvent_);
  }
  return ConnectState::kPending;
}

void FakePipeEvents::QueueClient(FakeClient client) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(client));
  if (listening_ && current_ == nullptr) {
    StartConnectionLocked();
    listening_ = false;
    if (listenEvent_) SignalLocked(*listenEvent_);
  }
}

std::ptrdiff_t FakePipeEvents::Read(Handle pipe, void* buffer, std::size_t size) {
  if (log_.Record("Read")) return -1;
  std::lock_guard lock(mutex_);
  if (Find(pipe) == nullptr || current_ == nullptr) return -1;
  const auto& bytes = current_->client.request;
  const std::size_t available = bytes.size() - current_->readOffset;
  // A client that has sent everything waits for its reply: nothing more arrives within the
  // read limit (the fake does not wait it out).
  if (available == 0) return -1;
  const std::size_t taken = std::min(size, available);
  std::memcpy(buffer, bytes.data() + current_->readOffset, taken);
  current_->readOffset += taken;
  return static_cast<std::ptrdiff_t>(taken);
}

bool FakePipeEvents::Write(Handle pipe, const void* data, std::size_t size) {
  if (log_.Record("Write")) return false;
  std::lock_guard lock(mutex_);
  if (Find(pipe) == nullptr || current_ == nullptr) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  current_->outcome.reply.insert(current_->outcome.reply.end(), bytes, bytes + size);
  return true;
}

bool FakePipeEvents::Flush(Handle pipe) {
  if (log_.Record("Flush")) return false;
  std::lock_guard lock(mutex_);
  return Find(pipe) != nullptr;
}

bool FakePipeEvents::Disconnect(Handle pipe) {
  if (log_.Record("Disconnect")) return false;
  std::lock_guard lock(mutex_);
  if (Find(pipe) == nullptr) return false;
  if (current_ != nullptr) {
    ForgetClientEventsLocked();
    current_->outcome.wasDisconnected = true;
    outcomes_.push_back(current_->outcome);
    current_.reset();
    changed_.notify_all();
  }
  return true;
}

bool FakePipeEvents::ImpersonateClient(Handle pipe) {
  if (log_.Record("ImpersonateClient")) return false;
  std::lock_guard lock(mutex_);
  // ERROR_CANNOT_IMPERSONATE until data has been read from the pipe.
  if (Find(pipe) == nullptr || current_ == nullptr || current_->readOffset == 0) return false;
  impersonator_ = std::this_thread::get_id();
  return true;
}

bool FakePipeEvents::RevertToSelf() {
  if (log_.Record("RevertToSelf")) return false;
  std::lock_guard lock(mutex_);
  if (impersonator_ == std::this_thread::get_id()) impersonator_ = std::thread::id();
  return true;
}

bool FakePipeEvents::Impersonating() const {
  std::lock_guard lock(mutex_);
  return impersonator_ != std::thread::id();
}

Handle FakePipeEvents::CreateEvent(bool manualReset, bool initiallySignalled) {
  if (log_.Record("CreateEvent")) return nullptr;
  std::lock_guard lock(mutex_);
  auto object = std::make_unique<Object>(Object::Kind::kEvent);
  object->event = std::make_shared<FakeEventState>();
  object->event->manualReset = manualReset;
  object->event->signalled = initiallySignalled;
  return Track(std::move(object));
}

Handle FakePipeEvents::OpenEvent(std::u16string_view name) {
  const bool fail = log_.Record("OpenEvent");
  log_.Record("OpenEvent " + Narrow(name));
  if (fail) return nullptr;
  std::lock_guard lock(mutex_);
  auto found = named_.find(std::u16string(name));
  std::shared_ptr<FakeEventState> event = found != named_.end() ? found->second.lock() : nullptr;
  if (event == nullptr) return nullptr;
  ++(impersonator_ == std::this_thread::get_id() ? event->opensAsClient : event->opensAsService);
  auto object = std::make_unique<Object>(Object::Kind::kEvent);
  object->event = event;
  return Track(std::move(object));
}

bool FakePipeEvents::SignalLocked(FakeEventState& event) {
  event.signalled = true;
  ++event.setCount;
  changed_.notify_all();
  return true;
}

bool FakePipeEvents::SetEvent(Handle handle) {
  std::string label;
  std::shared_ptr<FakeEventState> event;
  {
    std::lock_guard lock(mutex_);
    event = EventOf(handle);
    if (event) label = EventLabel(*event);
  }
  const bool fail = log_.Record("SetEvent");
  log_.Record("SetEvent " + label);
  if (fail || event == nullptr) return false;
  std::lock_guard lock(mutex_);
  return SignalLocked(*event);
}

bool FakePipeEvents::ResetEvent(Handle handle) {
  std::string label;
  std::shared_ptr<FakeEventState> event;
  {
    std::lock_guard lock(mutex_);
    event = EventOf(handle);
    if (event) label = EventLabel(*event);
  }
  const bool fail = log_.Record("ResetEvent");
  log_.Record("ResetEvent " + label);
  if (fail || event == nullptr) return false;
  std::lock_guard lock(mutex_);
  event->signalled = false;
  ++event->resetCount;
  return true;
}

int FakePipeEvents::WaitForEither(Handle first, Handle second) {
  if (log_.Record("WaitForEither")) return -1;
  std::unique_lock lock(mutex_);
  for (;;) {
    const std::shared_ptr<FakeEventState> events[2] = {EventOf(first), EventOf(second)};
    if (!events[0] || !events[1]) return -1;
    for (int index = 0; index < 2; ++index) {
      if (events[index]->signalled) {
        if (!events[index]->manualReset) events[index]->signalled = false;
        return index;
      }
    }
    if (onIdle_) {
      auto hook = onIdle_;
      lock.unlock();
      hook();
      lock.lock();
      bool any = false;
      for (const auto& event : events) any = any || event->signalled;
      if (any) continue;
    }
    changed_.wait(lock);
  }
}

Handle FakePipeEvents::StartThread(ThreadFunction function, void* argument) {
  if (log_.Record("StartThread")) return nullptr;
  auto object = std::make_unique<Object>(Object::Kind::kThread);
  object->thread = std::thread(function, argument);
  std::lock_guard lock(mutex_);
  return Track(std::move(object));
}

bool FakePipeEvents::WaitForThread(Handle thread) {
  if (log_.Record("WaitForThread")) return false;
  Object* object;
  {
    std::lock_guard lock(mutex_);
    object = Find(thread);
  }
  if (object == nullptr || object->kind != Object::Kind::kThread) return false;
  if (object->thread.joinable()) object->thread.join();
  return true;
}

void FakePipeEvents::Close(Handle handle) {
  log_.Record("Close");
  std::unique_lock lock(mutex_);
  Object* object = Find(handle);
  if (object == nullptr) return;
  live_.erase(object);
  lock.unlock();
  // A thread's handle may be closed before the thread ends; the thread still runs to its end.
  if (object->thread.joinable()) object->thread.join();
  delete object;
}

void FakePipeEvents::OnIdle(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  onIdle_ = std::move(hook);
}

void FakePipeEvents::WaitForOutcomes(std::size_t count) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return outcomes_.size() >= count; });
}

std::vector<FakeClientOutcome> FakePipeEvents::Outcomes() const {
  std::lock_guard lock(mutex_);
  return outcomes_;
}

std::vector<std::pair<std::u16string, uint32_t>> FakePipeEvents::SecurityEntries() const {
  std::lock_guard lock(mutex_);
  return securityEntries_;
}

PipeSettings FakePipeEvents::LastPipeSettings() const {
  std::lock_guard lock(mutex_);
  return pipeSettings_;
}

std::u16string FakePipeEvents::LastPipeName() const {
  std::lock_guard lock(mutex_);
  return pipeName_;
}

std::size_t FakePipeEvents::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

}  // namespace platform
