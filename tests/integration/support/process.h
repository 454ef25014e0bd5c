#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace integration {

/// What a finished program left: its exit status (or -signal) and standard output.
struct Finished {
  int status = -1;
  std::string output;
};

/// Runs a program to its end, standard error to `errorFile` when given.
Finished Run(const std::vector<std::string>& argv, const std::string& errorFile = "");

/// A program running in the background; ended with SIGTERM (then SIGKILL) when destroyed.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& errorFile);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  /// Waits (at most `timeoutMs`) for the program to end by itself; its status, or -1.
  int WaitForExit(int timeoutMs = 10000);
  /// Sends SIGTERM and waits (at most `timeoutMs`) for the exit status; -1 on time-out.
  int Terminate(int timeoutMs = 10000);
  /// Waits until the file at `path` exists (the service's socket); false after `timeoutMs`.
  bool WaitForFile(const std::string& path, int timeoutMs = 10000) const;
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

/// Reads a whole file ("" when missing).
std::string ReadFile(const std::string& path);
/// Waits until the file holds `text` at least `times` times (a line the service logs once per
/// command); false after `timeoutMs`.
bool WaitForText(const std::string& path, const std::string& text, int times = 1,
                 int timeoutMs = 10000);
/// A fresh private directory under the test's temporary directory.
std::string MakeTempDir(const std::string& stem);

}  // namespace integration
