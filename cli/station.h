// The production-line station (update IMAGE --watch): the bridges attached
// at the start, then each bridge as it is plugged in, each updated once per
// plug with the same care as a single update; several at once. A bridge is
// known by its device, USB port and serial: one left plugged in is not
// updated again, one pulled out and plugged in again is.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/update_steps.h"
#include "cli/device_events.h"
#include "cli/devices.h"
#include "cli/several_bridges.h"
#include "cli/station_view.h"
#include "cli/update_log.h"

namespace zq::cli {

// How long a station with bridges under way waits for word before it looks
// again; their ends wake it.
constexpr uint32_t STATION_BUSY_WAIT_MS = 250;
// An idle station waits for the system's word alone; this bounds each wait.
constexpr uint32_t STATION_IDLE_WAIT_MS = 60000;

struct StationSettings {
  bool verify = true;
  bool rewrite = false;
  uint32_t count = 0;  // ends after this many bridges; 0: until stopped
};

// How a station tells one plug from the next.
struct PlugIdentity {
  std::string device;
  std::string usbPort;
  std::string serial;
  bool operator==(const PlugIdentity&) const = default;
};

class Station {
 public:
  Station(Devices& devices, DeviceEvents& events, const ImageBuffer& image,
          StationSettings settings, StationView& view, UpdateLog& log, StopGuard& stops);
  ~Station();

  // Runs until a stop is asked for, `count` bridges are done or a log line
  // was lost; the bridges under way finish first. `image` is the path as
  // given, for the view; `ports` are shown waiting from the start.
  void Run(const std::string& image, const std::vector<std::string>& ports = {});
  // The bridges whose update ended, in the order they ended.
  const BridgeRuns& Ended() const { return ended_; }
  // The worst of the bridges; after a stop 130, or 3 once a bridge failed
  // after its erase; after a lost log line at least 4.
  int Status() const;

 private:
  struct Slot;

  bool Taking() const;
  bool AnyBusy() const;
  void Scan();
  void Assign();
  void Reap();
  void Finish(std::unique_ptr<BridgeRun> run, const std::string& port);
  void Session();
  void Work(Slot& slot);

  Devices& devices_;
  DeviceEvents& events_;
  const ImageBuffer& image_;
  StationSettings settings_;
  StationView& view_;
  UpdateLog& log_;
  StopGuard& stops_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<FoundBridge> pending_;   // plugged in, not yet taken
  std::vector<PlugIdentity> known_;    // taken, and still plugged in
  std::vector<std::string> problems_;  // said already, while they last
  BridgeRuns ended_;
  uint32_t taken_ = 0;
  bool stopped_ = false;
  std::atomic<bool> sessionOver_{false};
};

// The port a station's view shows a bridge on: its USB port, or its device
// where no port is known.
std::string StationPort(const FoundBridge& found);

}  // namespace zq::cli
