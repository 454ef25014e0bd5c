#include "platform/posix/service_control.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>

#include "platform/windows_values.h"

namespace platform {
namespace {

std::string ExtendTimeout(uint32_t waitHintMs) {
  if (waitHintMs == 0) return {};
  return "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000);
}

void* ServiceThreadMain(void* serviceMain) {
  (*static_cast<ServiceMainFunction*>(serviceMain))();
  delete static_cast<ServiceMainFunction*>(serviceMain);
  return nullptr;
}

bool StartDetached(ServiceMainFunction serviceMain) {
  auto* function = new ServiceMainFunction(serviceMain);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, ServiceThreadMain, function) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) delete function;
  return started;
}

void Drain(int fd) {
  uint64_t count;
  while (read(fd, &count, sizeof(count)) > 0) {
  }
}

}  // namespace

std::string PosixServiceControl::NotifyMessage(const ServiceStatus& status) {
  switch (status.currentState) {
    case kServiceStopped:
      return "STATUS=Stopped";
    case kServiceStartPending:
      return "STATUS=Starting" + ExtendTimeout(status.waitHint);
    case kServiceStopPending:
      return "STOPPING=1\nSTATUS=Stopping" + ExtendTimeout(status.waitHint);
    case kServiceRunning:
      return "READY=1\nSTATUS=Running";
    case kServiceContinuePending:
      return "STATUS=Continuing";
    case kServicePausePending:
      return "STATUS=Pausing";
    case kServicePaused:
      return "STATUS=Paused";
    default:
      return {};
  }
}

PosixServiceControl::~PosixServiceControl() {
  if (wakeFd_.load() >= 0) close(wakeFd_.load());
}

bool PosixServiceControl::RunDispatcher(std::u16string_view /*serviceName*/,
                                        ServiceMainFunction serviceMain) {
  if (serviceMain == nullptr || dispatching_.exchange(true)) return false;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  const int signalFd = pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0
                           ? signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC)
                           : -1;
  // The wake descriptor lives as long as this object: a report on another thread may still be
  // writing to it when the dispatcher returns.
  if (wakeFd_.load() < 0) wakeFd_.store(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  const int wakeFd = wakeFd_.load();
  if (wakeFd >= 0) Drain(wakeFd);
  handler_.store(nullptr);
  lastState_.store(0);
  lastAccepted_.store(0);
  bool ok = signalFd >= 0 && wakeFd >= 0 && StartDetached(serviceMain);

  bool stopHeldBack = false;
  while (ok && lastState_.load() != kServiceStopped) {
    pollfd watched[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    Drain(wakeFd);
    signalfd_siginfo info{};
    while (read(signalFd, &info, sizeof(info)) == sizeof(info)) {
      if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopHeldBack = true;
    }
    if (!stopHeldBack || lastState_.load() == kServiceStopped) continue;
    const ServiceControlFunction handler = handler_.load();
    if (handler == nullptr) break;
    if ((lastAccepted_.load() & kServiceAcceptStop) != 0) {
      stopHeldBack = false;
      handler(kServiceControlStop);
    }
  }

  if (signalFd >= 0) close(signalFd);
  dispatching_.store(false);
  return ok;
}

StatusHandle PosixServiceControl::RegisterControlHandler(std::u16string_view /*serviceName*/,
                                                         ServiceControlFunction handler) {
  // An own-process service ignores the name, as the Windows service manager does.
  if (handler == nullptr || !dispatching_.load()) return nullptr;
  handler_.store(handler);
  return this;
}

void PosixServiceControl::EndProcessNow(uint32_t exitCode) { ::_exit(static_cast<int>(exitCode)); }

bool PosixServiceControl::SetStatus(StatusHandle handle, const ServiceStatus& status) {
  if (handle != this) return false;
  const std::string message = NotifyMessage(status);
  if (message.empty() || sd_notify(0, message.c_str()) < 0) return false;
  lastAccepted_.store(status.controlsAccepted);
  lastState_.store(status.currentState);
  const int wakeFd = wakeFd_.load();
  if (wakeFd >= 0) {
    const uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof(one));
  }
  return true;
}

ServiceControl& SystemServiceControl() {
  // Never destroyed: other threads may still report while the process exits.
  static auto* instance = new PosixServiceControl();
  return *instance;
}

}  // namespace platform
