#include "tests/torture/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/posix/ipc_names.h"
#include "protocol/names.h"

using zylprotocol::kPipeName;

extern char** environ;

namespace torture {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kPollPause = std::chrono::milliseconds(10);

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The service's environment. Under AddressSanitizer (the service is built like this program)
// freed memory is held back in a quarantine of 256 MiB, which would read as growth; a small
// one keeps the resident figure about what the service itself retains. Leak checks at exit
// are unaffected.
std::vector<std::string> ServiceEnvironment() {
  std::vector<std::string> variables;
  std::string asanOptions = "quarantine_size_mb=1";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    if (kAddressSanitizer && variable.rfind("ASAN_OPTIONS=", 0) == 0) {
      asanOptions = variable.substr(13) + ":" + asanOptions;
    } else {
      variables.push_back(std::move(variable));
    }
  }
  if (kAddressSanitizer) variables.push_back("ASAN_OPTIONS=" + asanOptions);
  return variables;
}

std::string TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
}

}  // namespace

std::unique_ptr<ServiceProcess> ServiceProcess::Start(const std::string& program,
                                                      std::string* error) {
  std::string dir = TempRoot() + "/zyltorture-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    *error = "cannot make a runtime directory under " + TempRoot();
    return nullptr;
  }
  const std::string log = dir + "/service.log";
  const char* argv[] = {program.c_str(), "--runtime-dir", dir.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::vector<std::string> environment = ServiceEnvironment();
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = "cannot start " + program;
    std::filesystem::remove_all(dir);
    return nullptr;
  }
  std::unique_ptr<ServiceProcess> service(new ServiceProcess(dir, pid));

  const std::string socket = platform::posix::PipeSocketPath(dir, kPipeName);
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  struct stat info {};
  while (stat(socket.c_str(), &info) != 0) {
    if (service->Reap(false) || std::chrono::steady_clock::now() >= deadline) {
      *error = "the service did not open its socket; its log:\n" + service->Log();
      return nullptr;
    }
    std::this_thread::sleep_for(kPollPause);
  }
  return service;
}

ServiceProcess::~ServiceProcess() {
  if (!Reap(false)) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  if (!keep_) std::filesystem::remove_all(runtimeDir_);
}

bool ServiceProcess::Reap(bool block) {
  if (status_) return true;
  int status = 0;
  if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return false;
  status_ = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
  return true;
}

long ServiceProcess::ResidentKiB() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int ServiceProcess::OpenDescriptors() const {
  std::error_code failure;
  std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid_) + "/fd", failure);
  if (failure) return -1;
  return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator()));
}

std::vector<std::string> ServiceProcess::StrayFiles() const {
  std::vector<std::string> names;
  std::error_code failure;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(runtimeDir_, failure)) {
    const std::string name = entry.path().lexically_relative(runtimeDir_).string();
    if (name != "TAVIK_Zyl_Control_Service" && name != "TAVIK_Zyl_Control_Service.lock" &&
        name != "service.log") {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<int> ServiceProcess::Stop(int timeoutMs) {
  if (!Reap(false)) kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(false) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollPause);
  }
  return status_;
}

std::string ServiceProcess::Log() const {
  std::ifstream file(runtimeDir_ + "/service.log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace torture
