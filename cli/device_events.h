// Word from the system that bridges may have been plugged in or pulled out,
// so that a station waits for the next one without looking again and again.
#pragma once

#include <cstdint>
#include <memory>

namespace zq::cli {

class DeviceEvents {
 public:
  virtual ~DeviceEvents() = default;
  // Blocks until devices may have come or gone (true), or until `timeoutMs`
  // passed or Wake was called (false). A change that came while nobody
  // waited is kept for the next call. A change is told only once the
  // devices it brought can be opened (their nodes have settled).
  virtual bool Wait(uint32_t timeoutMs) = 0;
  // Ends the Wait under way, or the next one, at once. Any thread may call,
  // the stop thread and the console handler too: no lock, no allocation.
  virtual void Wake() = 0;
};

// Tells of a possible change every `intervalMs`: for systems that offer no
// plug events, where the station looks again once a second.
std::unique_ptr<DeviceEvents> MakePollingEvents(uint32_t intervalMs);

}  // namespace zq::cli
