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
#include <cstddef>
#include <cstdint>
#include <thread>

namespace platform::posix {

// The file's layout. Another process of the owner can change or truncate the file at any time,
// so everything goes through pread/pwrite and only the kernel reads the mapping (for the
// futex): a truncated file then fails a call instead of raising SIGBUS.
struct SharedEvent::State {
  uint32_t magic;
  uint32_t creatorManualReset;      // what its creator asked for; no opener relies on it
  std::atomic<uint32_t> signalled;  // 0 or 1: only the low byte ever changes
  std::atomic<uint32_t> handles;
};

namespace {

using State = SharedEvent::State;
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

constexpr uint32_t kMagic = 0x5645595A;  // "ZYEV"
constexpr off_t kMagicAt = offsetof(State, magic);
constexpr off_t kManualResetAt = offsetof(State, creatorManualReset);
constexpr off_t kSignalledAt = offsetof(State, signalled);
constexpr off_t kHandlesAt = offsetof(State, handles);

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

bool ReadWord(int fd, off_t at, uint32_t* value) {
  return pread(fd, value, sizeof(*value), at) == sizeof(*value);
}

bool WriteWord(int fd, off_t at, uint32_t value) {
  return pwrite(fd, &value, sizeof(value), at) == sizeof(value);
}

uint32_t* FutexWord(State* state) { return reinterpret_cast<uint32_t*>(&state->signalled); }

long Futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
  // Not FUTEX_PRIVATE_FLAG: the word is shared with other processes. The kernel reads the
  // word itself, so a truncated file gives EFAULT here rather than a signal.
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
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? OpenOutcome::kAbsent : OpenOutcome::kFailed;
  if (!LockFile(fd)) {
    close(fd);
    return OpenOutcome::kFailed;
  }
  struct stat info {};
  uint32_t magic = 0;
  uint32_t handles = 0;
  OpenOutcome outcome = OpenOutcome::kFailed;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    outcome = OpenOutcome::kFailed;
  } else if (info.st_nlink == 0) {
    outcome = OpenOutcome::kAbsent;
  } else if (ReadWord(fd, kMagicAt, &magic) && magic == kMagic &&
             ReadWord(fd, kHandlesAt, &handles) && handles > 0 &&
             WriteWord(fd, kHandlesAt, handles + 1)) {
    outcome = OpenOutcome::kOpened;
  }
  State* state = outcome == OpenOutcome::kOpened ? MapState(fd) : nullptr;
  if (outcome == OpenOutcome::kOpened && state == nullptr) {
    WriteWord(fd, kHandlesAt, handles);
    outcome = OpenOutcome::kFailed;
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
  const bool made = fchmod(fd, 0600) == 0 && ftruncate(fd, sizeof(State)) == 0 &&
                    WriteWord(fd, kManualResetAt, manualReset ? 1 : 0) &&
                    WriteWord(fd, kSignalledAt, initiallySignalled ? 1 : 0) &&
                    WriteWord(fd, kHandlesAt, 1) && WriteWord(fd, kMagicAt, kMagic);
  State* state = made ? MapState(fd) : nullptr;
  const bool linked = state != nullptr && link(temporary.c_str(), path.c_str()) == 0;
  const int linkError = errno;
  unlink(temporary.c_str());
  if (!linked) {
    if (state != nullptr) munmap(state, sizeof(State));
    close(fd);
    return state != nullptr && linkError == EEXIST ? OpenOutcome::kAbsent : OpenOutcome::kFailed;
  }
  *fdOut = fd;
  *stateOut = state;
  return OpenOutcome::kOpened;
}

}  // namespace

SharedEvent::SharedEvent(std::string path, int fd, State* state, bool alreadyExisted,
                         bool manualReset)
    : path_(std::move(path)),
      fd_(fd),
      state_(state),
      alreadyExisted_(alreadyExisted),
      manualReset_(manualReset) {}

std::unique_ptr<SharedEvent> SharedEvent::Create(const std::string& path, bool manualReset,
                                                 bool initiallySignalled) {
  if (path.empty()) return nullptr;
  // Each round loses at most one race with a creator or a remover; a few rounds suffice.
  for (int round = 0; round < 8; ++round) {
    int fd = -1;
    State* state = nullptr;
    OpenOutcome outcome = OpenExisting(path, &fd, &state);
    if (outcome == OpenOutcome::kOpened) {
      return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, true, manualReset));
    }
    if (outcome == OpenOutcome::kFailed) return nullptr;
    outcome = CreateNew(path, manualReset, initiallySignalled, &fd, &state);
    if (outcome == OpenOutcome::kOpened) {
      return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, false, manualReset));
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
  return std::unique_ptr<SharedEvent>(new SharedEvent(path, fd, state, true, true));
}

std::unique_ptr<SharedEvent> SharedEvent::AdoptForSignalling(int fd) {
  struct stat info {};
  uint32_t magic = 0;
  State* state = nullptr;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size < static_cast<off_t>(sizeof(State)) || !ReadWord(fd, kMagicAt, &magic) ||
      magic != kMagic || (state = MapState(fd)) == nullptr) {
    close(fd);
    return nullptr;
  }
  auto event = std::unique_ptr<SharedEvent>(new SharedEvent({}, fd, state, true, true));
  event->counted_ = false;
  return event;
}

SharedEvent::~SharedEvent() {
  if (counted_ && LockFile(fd_)) {
    uint32_t handles = 0;
    if (ReadWord(fd_, kHandlesAt, &handles) && handles > 0) {
      WriteWord(fd_, kHandlesAt, handles - 1);
      struct stat mine {};
      struct stat named {};
      // The last handle removes the name, but only while the name still means this event.
      if (handles == 1 && fstat(fd_, &mine) == 0 && mine.st_nlink > 0 &&
          stat(path_.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
          mine.st_dev == named.st_dev) {
        unlink(path_.c_str());
      }
    }
    UnlockFile(fd_);
  }
  munmap(state_, sizeof(State));
  close(fd_);
}

bool SharedEvent::StillAtItsName() {
  if (path_.empty()) return false;
  if (inode_ == 0) {
    struct stat mine {};
    if (fstat(fd_, &mine) != 0) return false;
    device_ = mine.st_dev;
    inode_ = mine.st_ino;
  }
  // The open descriptor keeps the inode taken, so no other file can have its number.
  struct stat named {};
  return lstat(path_.c_str(), &named) == 0 && named.st_ino == inode_ && named.st_dev == device_;
}

bool SharedEvent::Set() {
  if (!WriteWord(fd_, kSignalledAt, 1)) return false;
  Futex(FutexWord(state_), FUTEX_WAKE, INT_MAX, nullptr);
  return true;
}

bool SharedEvent::Reset() { return WriteWord(fd_, kSignalledAt, 0); }

bool SharedEvent::IsSignalled() const {
  uint32_t signalled = 0;
  return ReadWord(fd_, kSignalledAt, &signalled) && signalled != 0;
}

bool SharedEvent::TakeSignal() {
  // Only processes of the event's owner can open the file, so only they can hold this lock.
  if (!LockFile(fd_)) return false;
  uint32_t signalled = 0;
  const bool taken =
      ReadWord(fd_, kSignalledAt, &signalled) && signalled != 0 && WriteWord(fd_, kSignalledAt, 0);
  UnlockFile(fd_);
  return taken;
}

bool SharedEvent::Wait(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (manualReset_) {
      if (IsSignalled()) return true;
    } else if (TakeSignal()) {
      return true;
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
    if (Futex(FutexWord(state_), FUTEX_WAIT, 0, limit) != 0 && errno == EFAULT) return false;
  }
}

}  // namespace platform::posix
