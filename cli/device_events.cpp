#include "cli/device_events.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace zq::cli {
namespace {

// Short enough that a wake ends the wait well within a tenth of a second,
// long enough that an idle station costs next to nothing.
constexpr auto POLL_SLICE = std::chrono::milliseconds(20);

class PollingEvents final : public DeviceEvents {
 public:
  explicit PollingEvents(uint32_t intervalMs)
      : interval_(std::max<uint32_t>(intervalMs, 1)),
        nextLook_(std::chrono::steady_clock::now() + interval_) {}

  bool Wait(uint32_t timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (woken_.exchange(false)) return false;
      const Clock::time_point now = Clock::now();
      // a look that fell due while nobody waited is told now
      if (now >= nextLook_) {
        nextLook_ = now + interval_;
        return true;
      }
      if (now >= end) return false;
      std::this_thread::sleep_for(
          std::min<Clock::duration>({POLL_SLICE, nextLook_ - now, end - now}));
    }
  }

  void Wake() override { woken_.store(true); }

 private:
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point nextLook_;
  std::atomic<bool> woken_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace

std::unique_ptr<DeviceEvents> MakePollingEvents(uint32_t intervalMs) {
  return std::make_unique<PollingEvents>(intervalMs);
}

std::unique_ptr<DeviceEvents> EventsOrPolling(std::unique_ptr<DeviceEvents> events, const char* how,
                                              const std::string& problem, std::FILE* verbose) {
  if (events) {
    if (verbose != nullptr) std::fprintf(verbose, "plugs told by %s\n", how);
    return events;
  }
  if (verbose != nullptr) {
    std::fprintf(verbose, "%s; looking for bridges once a second instead\n", problem.c_str());
  }
  return MakePollingEvents(1000);
}

}  // namespace zq::cli
