#include "platform/posix/shared_event.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

namespace platform::posix {

struct SharedEvent::State {
  uint32_t magic;
  uint32_t manualReset;
  std::atomic<uint32_t> signalled;
  std::atomic<uint32_t> handles;
};

namespace {

using State = SharedEvent::State;
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

constexpr uint32_t kMagic = 0x5645595A;  // "ZYEV"
// A holder of the open/close lock is only ever inside a few system calls; waiting longer than
// this means someone else is sitting on it, and the open fails instead of hanging.
constexpr int kLockAttempts = 200;
constexpr auto kLockRetryDelay = std::chrono::milliseconds(1);

bool LockFile(int fd) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    std::this_thread::sleep_for(kLockRetryDelay);
  }
  return false;
}

void UnlockFile(int fd) { flock(fd, LOCK_UN); }

uint32_t* FutexWord(State* state) { return reinterpret_cast<uint32_t*>(&state->signalled); }

long Futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
  // Not FUTEX_PRIVATE_FLAG: the word is shared with other processes.
  return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

State* MapState(int fd) {
  void* memory = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<State*>(memory);
}

enum class OpenOutcome { kOpened, kAbsent, kFailed };

// Opens an existing event and counts the new handle. kAbsent when there is no file or it is
// being removed by its last holder.
OpenOutcome OpenExisting(const std::string& path, int* fdOut, State** stateOut) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? OpenOutcome::kAbsent : OpenOutcome::kFailed;
  if (!LockFile(fd)) {
    close(fd);
    return OpenOutcome::kFailed;
  }
  struct stat info {};
  OpenOutcome outcome = OpenOutcome::kFailed;
  State* state = nullptr;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    outcome = OpenOutcome::kFailed;
  } else if (info.st_nlink == 0) {
    outcome = OpenOutcome::kAbsent;
  } else if (static_cast<std::size_t>(info.st_size) >= sizeof(State) &&
             (state = MapState(fd)) != nullptr) {
    if (state->magic == kMagic && state->handles.load() > 0) {
      state->handles.fetch_add(1);
      outcome = OpenOutcome::kOpened;
    } else {
      munmap(state, sizeof(State));
      state = nullptr;
    }
  }
  UnlockFile(fd);
  if (outcome != OpenOutcome::kOpened) {
    close(fd);
    return outcome;
  }
  *fdOut = fd;
  *stateOut = state;
  return outcome;
}

// Makes a complete event under a temporary name and then links it in place, so an opener never
// sees a half-made file. kAbsent means another process linked its own first: open that one.
OpenOutcome CreateNew(const std::string& path, bool manualReset, bool initiallySignalled,
                      int* fdOut, State** stateOut) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return OpenOutcome::kFailed;
  State* state = nullptr;
  const bool made = fchmod(fd, 0666) == 0 && ftruncate(fd, sizeof(State)) == 0 &&
                    (state = MapState(fd)) != nullptr;
  if (made) {
    state->manualReset = manualReset ? 1 : 0;
    state->signalled.store(initiallySignalled ? 1 : 0);
    state->handles.store(1);
    state->magic = kMagic;
  }
  const bool linked = made && link(temporary.c_str(), path.c_str()) == 0;
  const int linkError = errno;
  unlink(temporary.c_str());
  if (!linked) {
    if (state != nullptr) munmap(state, sizeof(State));
    close(fd);
    return made && linkError == EEXIST ? OpenOutcome::kAbsent : OpenOutcome::kFailed;
  }
  *fdOut = fd;
  *stateOut = state;
  return OpenOutcome::kOpened;
}

}  // namespace

SharedEvent::SharedEvent(std::string path, int fd, State* state, bool alreadyExisted)
    : path_(std::move(path)), fd_(fd), state_(state), alreadyExisted_(alreadyExisted) {}

std::unique_ptr<SharedEvent> SharedEvent::Create(const std::string& path, bool manualReset,
                                                 bool initiallySignalled) {
  if (path.empty()) return nullptr;
  // Each round loses at most one race with a creator or a remover; a few rounds suffice.
  for (int round = 0; round < 8; ++round) {
    int fd = -1;
    State* state = nullptr;
    OpenOutcome outcome = OpenExisting(path, &fd, &state);
    if (outcome == OpenOutcome::kOpened) {
      return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, true));
    }
    if (outcome == OpenOutcome::kFailed) return nullptr;
    outcome = CreateNew(path, manualReset, initiallySignalled, &fd, &state);
    if (outcome == OpenOutcome::kOpened) {
      return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, false));
    }
    if (outcome == OpenOutcome::kFailed) return nullptr;
  }
  return nullptr;
}

std::unique_ptr<SharedEvent> SharedEvent::Open(const std::string& path) {
  if (path.empty()) return nullptr;
  int fd = -1;
  State* state = nullptr;
  if (OpenExisting(path, &fd, &state) != OpenOutcome::kOpened) return nullptr;
  return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, true));
}

SharedEvent::~SharedEvent() {
  const bool locked = LockFile(fd_);
  if (state_->handles.fetch_sub(1) == 1 && locked) {
    // Remove the name only if it still names this event.
    struct stat mine {};
    struct stat named {};
    if (fstat(fd_, &mine) == 0 && mine.st_nlink > 0 && stat(path_.c_str(), &named) == 0 &&
        mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
      unlink(path_.c_str());
    }
  }
  if (locked) UnlockFile(fd_);
  munmap(state_, sizeof(State));
  close(fd_);
}

void SharedEvent::Set() {
  state_->signalled.store(1);
  Futex(FutexWord(state_), FUTEX_WAKE, INT_MAX, nullptr);
}

void SharedEvent::Reset() { state_->signalled.store(0); }

bool SharedEvent::IsSignalled() const { return state_->signalled.load() != 0; }

bool SharedEvent::ManualReset() const { return state_->manualReset != 0; }

bool SharedEvent::Wait(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (ManualReset()) {
      if (IsSignalled()) return true;
    } else {
      uint32_t expected = 1;
      if (state_->signalled.compare_exchange_strong(expected, 0)) return true;
    }
    timespec timeout{};
    const timespec* limit = nullptr;
    if (timeoutMs >= 0) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = ns / 1000000000;
      timeout.tv_nsec = ns % 1000000000;
      limit = &timeout;
    }
    // Sleeps only while the word is still 0; a Set in between makes the call return at once.
    Futex(FutexWord(state_), FUTEX_WAIT, 0, limit);
  }
}

}  // namespace platform::posix
