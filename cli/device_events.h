// Word from the system that bridges may have been plugged in or pulled out,
// so that a station waits for the next one without looking again and again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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

// The system's own events when it offered them (`how` says which), else a
// look once a second; `verbose`, when given, is told which and why.
std::unique_ptr<DeviceEvents> EventsOrPolling(std::unique_ptr<DeviceEvents> events, const char* how,
                                              const std::string& problem, std::FILE* verbose);

}  // namespace zq::cli
