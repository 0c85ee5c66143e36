// How the command line takes the events by which Windows ends a console
// program: Ctrl-C, its console closed, the user logging off, the system
// shutting down. After the last three the system ends the process as soon as
// the handler returns, or once the seconds it allows have passed; a write of
// the flash must not be cut there. The system's calls stay in the binding;
// the decisions are here, so that a test can drive them.
#pragma once

#include <cstdint>

#include "cli/stop_requests.h"

namespace zq::cli {

enum class ConsoleEvent {
  Interrupt,   // Ctrl-C or Ctrl-Break: the process goes on when taken
  Close,       // the console window closed
  Logoff,      // the user logging off
  Shutdown,    // the system shutting down
  SessionEnd,  // the session ending, told to a window (Windows 7 and later tell no console)
};

// How long the system lets the handler run before it ends the process: 5 s
// after a close, 20 s at logoff or shutdown, 5 s for a window at the end of
// a session; none for Ctrl-C, which ends nothing.
uint32_t AllowedMilliseconds(ConsoleEvent event);

// The stop requests and the clock a handler waits on.
class EventWaits {
 public:
  // Records the stop request, as NoteStopRequest does.
  virtual StopTiming Note() = 0;
  // Whether a write holds stops at this moment.
  virtual bool Held() = 0;
  virtual uint64_t Milliseconds() = 0;  // a clock that only goes forward
  virtual void Sleep(uint32_t milliseconds) = 0;
  // Says once why the program goes on for now.
  virtual void SayItWaits() = 0;

 protected:
  ~EventWaits() = default;
};

enum class EventAnswer {
  EndNow,          // nothing held: report the stop and let the system end the process
  Taken,           // held: the program ends itself once the write is done (after
                   // Close, Logoff or Shutdown, the handler has waited for that)
  EndAfterDamage,  // nothing held, but a bridge failed after its erase: end
                   // now with that failure's message and status, never as stopped
};

// Takes one event. For the events that end the process, a held write is
// waited for, and then the program's own end with its message, within the
// time the system allows less a margin, so the handler returns before the
// system gives up on it.
EventAnswer TakeConsoleEvent(ConsoleEvent event, EventWaits& waits);

// How often the hold is looked at while waiting.
constexpr uint32_t EVENT_POLL_MS = 50;
// Returned this long before the system's time is up.
constexpr uint32_t EVENT_MARGIN_MS = 500;
// After the write, how long the program is given to end itself.
constexpr uint32_t EVENT_GRACE_MS = 2000;

// Takes the question whether the session may end (asked of windows before
// logoff and shutdown). A session that ends is a stop request, as a
// shutdown's signals are on other systems; it may end at once unless a
// write holds stops, and then the answer is no, with the reason shown.
bool SessionMayEnd(EventWaits& waits);

}  // namespace zq::cli
