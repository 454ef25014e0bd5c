#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

/// The book a fake keeps of its calls: every call by name in order, and scripted failures
/// ("the 2nd CreatePipe fails"). Thread-safe.
class CallLog {
 public:
  /// Records a call of `operation` and answers whether it is to fail.
  bool Record(const std::string& operation) {
    std::lock_guard lock(mutex_);
    calls_.push_back(operation);
    const int occurrence = ++counts_[operation];
    auto failure = failures_.find(operation);
    if (failure == failures_.end()) return false;
    return failure->second.always || failure->second.occurrences.count(occurrence) > 0;
  }

  /// The `occurrence`-th call (from 1) of `operation` fails.
  void FailOn(const std::string& operation, int occurrence) {
    std::lock_guard lock(mutex_);
    failures_[operation].occurrences[occurrence] = true;
  }
  /// Every call of `operation` fails.
  void FailAlways(const std::string& operation) {
    std::lock_guard lock(mutex_);
    failures_[operation].always = true;
  }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int Count(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    auto found = counts_.find(operation);
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  struct Failure {
    bool always = false;
    std::map<int, bool> occurrences;
  };
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::map<std::string, int> counts_;
  std::map<std::string, Failure> failures_;
};

}  // namespace platform
