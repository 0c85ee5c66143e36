// Stop requests (Ctrl-C and the signals that end a process politely) and
// whether they must wait: held by any thread while the flash is being
// rewritten. Lock-free and allocation-free, so the platforms' signal and
// console handlers may call in.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/update_steps.h"
#include "cli/device_events.h"

namespace zq::cli {

enum class StopTiming {
  AtOnce,       // nothing holds stops: end now
  Waits,        // held: say once why, end after the write
  WaitsAgain,   // held, and said already
  AfterDamage,  // nothing holds, but a bridge failed after its erase: end now,
                // saying so with that failure's exit status, never as stopped
};

// One process's stop requests and holds, kept in one atomic word: a stop
// and a hold cannot both win, and no erase begins once a stop was asked for.
class StopRequests final : public StopGuard {
 public:
  // Records a request and says how it is to be taken.
  StopTiming Note();
  bool Hold() override;
  void Release() override;
  void FailedAfterErase() override;
  bool Requested() override;
  // Whether a write holds stops now; records nothing.
  bool Held() const;
  // No hold is granted from now on, so no further erase begins; writes
  // under way finish and verify as usual, and this is no stop request.
  void RefuseHolds();

 private:
  static constexpr uint32_t REQUESTED = 1;
  static constexpr uint32_t ANNOUNCED = 2;  // a waiting stop has been announced
  static constexpr uint32_t DAMAGED = 4;
  static constexpr uint32_t REFUSING = 8;
  static constexpr uint32_t ONE_HOLDER = 16;  // the holders are counted above the flags

  std::atomic<uint32_t> state_{0};
  static_assert(std::atomic<uint32_t>::is_always_lock_free);
};

// Records a request with the process's stops and says how it is to be taken.
StopTiming NoteStopRequest();

// Whether a write holds the process's stops now; records nothing.
bool StopsHeld();

// Lets no further bridge of this process begin an erase.
void RefuseFurtherErases();

// The process's stop requests, as an update holds and asks them.
StopGuard& ProcessStops();

// A running station ends itself on a stop that nothing holds: it takes no
// further bridge, lets those under way finish and prints its summary. Null
// once it no longer waits.
void SetStationWaker(DeviceEvents* events);
// Hands such a stop to the running station by waking it; false when none
// runs. Taken once: a further stop ends the process as any other would.
bool WakeStation();

}  // namespace zq::cli
