#include "cli/stop_requests.h"

namespace zq::cli {

StopTiming StopRequests::Note() {
  uint32_t state = state_.load();
  for (;;) {
    const bool held = state >= ONE_HOLDER;
    uint32_t next = state | REQUESTED;
    if (held) next |= ANNOUNCED;
    if (state_.compare_exchange_weak(state, next)) break;
  }
  // `state` is what the request found
  if (state >= ONE_HOLDER) {
    return (state & ANNOUNCED) != 0 ? StopTiming::WaitsAgain : StopTiming::Waits;
  }
  return (state & DAMAGED) != 0 ? StopTiming::AfterDamage : StopTiming::AtOnce;
}

bool StopRequests::Hold() {
  uint32_t state = state_.load();
  do {
    if ((state & (REQUESTED | REFUSING)) != 0) return false;
  } while (!state_.compare_exchange_weak(state, state + ONE_HOLDER));
  return true;
}

void StopRequests::Release() {
  state_.fetch_sub(ONE_HOLDER);
}

void StopRequests::FailedAfterErase() {
  state_.fetch_or(DAMAGED);
}

bool StopRequests::Requested() {
  return (state_.load() & REQUESTED) != 0;
}

void StopRequests::RefuseHolds() {
  state_.fetch_or(REFUSING);
}

bool StopRequests::Held() const {
  return state_.load() >= ONE_HOLDER;
}

namespace {

StopRequests processStops;
std::atomic<DeviceEvents*> stationWaker{nullptr};
static_assert(std::atomic<DeviceEvents*>::is_always_lock_free);

}  // namespace

StopTiming NoteStopRequest() {
  return processStops.Note();
}

bool StopsHeld() {
  return processStops.Held();
}

void RefuseFurtherErases() {
  processStops.RefuseHolds();
}

StopGuard& ProcessStops() {
  return processStops;
}

void SetStationWaker(DeviceEvents* events) {
  stationWaker.store(events);
}

bool WakeStation() {
  DeviceEvents* events = stationWaker.exchange(nullptr);
  if (events == nullptr) return false;
  events->Wake();
  return true;
}

}  // namespace zq::cli
