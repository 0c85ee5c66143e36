#include "cli/console_events.h"

#include <algorithm>

namespace zq::cli {

uint32_t AllowedMilliseconds(ConsoleEvent event) {
  switch (event) {
    case ConsoleEvent::Interrupt:
      return 0;
    case ConsoleEvent::Close:
    case ConsoleEvent::SessionEnd:
      return 5000;
    case ConsoleEvent::Logoff:
    case ConsoleEvent::Shutdown:
      return 20000;
  }
  return 0;
}

EventAnswer TakeConsoleEvent(ConsoleEvent event, EventWaits& waits) {
  const StopTiming timing = waits.Note();
  if (timing == StopTiming::AtOnce) return EventAnswer::EndNow;
  if (timing == StopTiming::AfterDamage) return EventAnswer::EndAfterDamage;
  if (timing == StopTiming::Waits) waits.SayItWaits();
  if (event == ConsoleEvent::Interrupt) return EventAnswer::Taken;

  // the process ends when this returns: first the write, then the program's
  // own end with its message, each within what the system allows
  const uint64_t start = waits.Milliseconds();
  const uint32_t allowed = AllowedMilliseconds(event);
  const uint64_t deadline = start + (allowed > EVENT_MARGIN_MS ? allowed - EVENT_MARGIN_MS : 0);
  while (waits.Held() && waits.Milliseconds() < deadline) waits.Sleep(EVENT_POLL_MS);
  const uint64_t ended = std::min(deadline, waits.Milliseconds() + EVENT_GRACE_MS);
  for (uint64_t now = waits.Milliseconds(); now < ended; now = waits.Milliseconds()) {
    waits.Sleep(static_cast<uint32_t>(std::min<uint64_t>(EVENT_POLL_MS, ended - now)));
  }
  return EventAnswer::Taken;
}

bool SessionMayEnd(EventWaits& waits) {
  const StopTiming timing = waits.Note();
  if (timing == StopTiming::Waits) waits.SayItWaits();
  return timing == StopTiming::AtOnce || timing == StopTiming::AfterDamage;
}

}  // namespace zq::cli
