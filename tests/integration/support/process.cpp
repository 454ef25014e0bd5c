#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace integration {

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int outFd, const std::string& errorFile) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (outFd >= 0) ::dup2(outFd, STDOUT_FILENO);
  if (!errorFile.empty()) {
    const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
  }
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

int Decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

}  // namespace

Finished Run(const std::vector<std::string>& argv, const std::string& errorFile) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  const pid_t pid = Spawn(argv, pipeFds[1], errorFile);
  ::close(pipeFds[1]);
  Finished finished;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    finished.output.append(buffer, n);
  }
  ::close(pipeFds[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) finished.status = Decode(status);
  return finished;
}

Background::Background(const std::vector<std::string>& argv, const std::string& errorFile)
    : pid_(Spawn(argv, -1, errorFile)) {}

Background::~Background() {
  if (Running()) {
    Terminate(5000);
    if (Running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
}

bool Background::Running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = Decode(status);
    return false;
  }
  return true;
}

int Background::WaitForExit(int timeoutMs) {
  for (int waited = 0; waited < timeoutMs && Running(); waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Running() ? -1 : status_;
}

int Background::Terminate(int timeoutMs) {
  if (Running()) ::kill(pid_, SIGTERM);
  return WaitForExit(timeoutMs);
}

bool Background::WaitForFile(const std::string& path, int timeoutMs) const {
  struct stat info;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (::stat(path.c_str(), &info) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool WaitForText(const std::string& path, const std::string& text, int times, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    const std::string content = ReadFile(path);
    int found = 0;
    for (auto at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) {
      ++found;
    }
    if (found >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string MakeTempDir(const std::string& stem) {
  std::string pattern = ::testing::TempDir() + "/" + stem + "-XXXXXX";
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace integration
