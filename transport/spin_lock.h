// A lock over an atomic flag, for what threads share for moments (a device's
// name, a claim): the Windows build's threads have no std::mutex.
#pragma once

#include <atomic>

namespace zq {

class SpinLock {
 public:
  explicit SpinLock(std::atomic_flag& flag) : flag_(flag) {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinLock() { flag_.clear(std::memory_order_release); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

 private:
  std::atomic_flag& flag_;
};

}  // namespace zq
