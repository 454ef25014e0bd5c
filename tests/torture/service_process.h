#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace torture {

/// The service under test as a separate process, in a runtime directory of its own, so that
/// nothing else on the machine can talk to it and nothing it leaves behind escapes the run.
class ServiceProcess {
 public:
  /// Starts `program --runtime-dir <fresh dir>` with standard error in <dir>/service.log and
  /// waits (at most 10 s) until its socket exists. Null, with `error` set, when it does not.
  static std::unique_ptr<ServiceProcess> Start(const std::string& program, std::string* error);

  /// Kills the process if it still runs, and removes the runtime directory unless Keep().
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& RuntimeDir() const { return runtimeDir_; }
  pid_t Pid() const { return pid_; }
  /// Leaves the runtime directory in place for a look after a failed run.
  void Keep() { keep_ = true; }

  /// VmRSS from /proc/<pid>/status in KiB; -1 when it cannot be read.
  long ResidentKiB() const;
  /// Entries of /proc/<pid>/fd; -1 when they cannot be listed.
  int OpenDescriptors() const;
  /// What the runtime directory holds besides the socket, its lock and the service's log,
  /// sorted: nothing, as no client has anything made there.
  std::vector<std::string> StrayFiles() const;

  /// SIGTERM, then waits at most `timeoutMs`: the exit status, minus the signal number when a
  /// signal ended it, or nothing when it is still running.
  std::optional<int> Stop(int timeoutMs);
  std::string Log() const;

 private:
  ServiceProcess(std::string runtimeDir, pid_t pid)
      : runtimeDir_(std::move(runtimeDir)), pid_(pid) {}
  bool Reap(bool block);

  std::string runtimeDir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  bool keep_ = false;
};

}  // namespace torture
