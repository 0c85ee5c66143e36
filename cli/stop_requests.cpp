#include "cli/stop_requests.h"

#include <atomic>

namespace zq::cli {
namespace {

std::atomic<int> holders{0};
std::atomic<bool> requested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

class ProcessStopGuard final : public StopGuard {
 public:
  void Hold(bool hold) override { holders.fetch_add(hold ? 1 : -1); }
  bool Requested() override { return requested.load(); }
};

ProcessStopGuard guard;

}  // namespace

StopTiming NoteStopRequest() {
  const bool before = requested.exchange(true);
  if (holders.load() == 0) return StopTiming::AtOnce;
  return before ? StopTiming::WaitsAgain : StopTiming::Waits;
}

StopGuard& ProcessStops() {
  return guard;
}

}  // namespace zq::cli
