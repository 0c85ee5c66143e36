// Stop requests (Ctrl-C and the signals that end a process politely) and
// whether they must wait: held by any thread while the flash is being
// rewritten. Lock-free, so the platforms' signal and console handlers may
// call in.
#pragma once

#include "app/update_steps.h"

namespace zq::cli {

enum class StopTiming {
  AtOnce,      // nothing holds stops: end now
  Waits,       // held: say once why, end after the write
  WaitsAgain,  // held, and said already
};

// Records a request and says how it is to be taken.
StopTiming NoteStopRequest();

// The process's stop requests, as an update holds and asks them.
StopGuard& ProcessStops();

}  // namespace zq::cli
