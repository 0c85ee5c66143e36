// The emulated bridges behind the command line's --emulate: each chip with
// its record, faults and flash file, reachable as pass-through devices
// "emulated1", ... and as ASPI targets 0, 1, ... of host adapter 0. Each
// pass-through device has a port of its own, so bridges driven from threads
// of their own share nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "emulator/bridge_device.h"
#include "emulator/emulated_aspi.h"
#include "emulator/emulated_pass_through.h"
#include "emulator/flash_file.h"
#include "emulator/plug_schedule.h"

namespace zq {

struct EmulationOptions {
  uint32_t bridges = 1;
  std::vector<std::string> flashFiles;  // one per bridge, in order
  std::optional<std::string> record;
  std::optional<uint32_t> busy;
  std::vector<std::string> faults;  // "F" for every bridge, "K:F" for bridge K
  bool timing = false;              // each command takes a real chip's time
  // When bridges are plugged in and pulled out (plug_schedule.h); empty:
  // every bridge is plugged in throughout. The bridges are then at least
  // as many as the highest the schedule names.
  std::string plugs;
};

class EmulatedBridges final : public Platform {
 public:
  EmulatedBridges();
  ~EmulatedBridges() override;
  EmulatedBridges(const EmulatedBridges&) = delete;
  EmulatedBridges& operator=(const EmulatedBridges&) = delete;

  // Sets the chips up; on false `problem` says why and `usage` whether the
  // options themselves were wrong (rather than a flash file).
  bool Prepare(const EmulationOptions& options, FileLocks& locks, std::string& problem,
               bool& usage);

  PlatformFamily Family() override { return PlatformFamily::Nt; }
  AspiLayer* LoadAspi() override { return &aspi_; }
  PassThroughPort& PassThrough() override;

  // Which chip (from 0) a device found on either face is.
  std::optional<size_t> IndexOf(const std::string& deviceName) const;
  // How long a real chip would have been busy with what chip `index` was
  // asked so far.
  double ModelledSeconds(size_t index) const;
  size_t Count() const;
  // How chip `index` is named on the pass-through or the ASPI face.
  std::string NameOf(size_t index, bool passThrough) const;
  // Why chip `index` was not found on that face.
  std::string WhyUnseen(size_t index, bool passThrough) const;
  // Why chip `index`'s flash file no longer holds its flash; empty while it does.
  std::string StorageProblem(size_t index) const;
  // Whether chip `index` is plugged in now.
  bool Plugged(size_t index) const;
  // The plug schedule; null when every bridge stays plugged in.
  const PlugSchedule* Schedule() const { return schedule_.get(); }
  // Before Prepare: the schedule's clock, for tests that step it.
  void SetScheduleClock(std::function<uint64_t()> clock) { scheduleClock_ = std::move(clock); }

 private:
  class Chip;
  std::vector<std::unique_ptr<Chip>> chips_;
  std::vector<std::unique_ptr<EmulatedPassThroughPort>> ports_;
  std::unique_ptr<PassThroughPort> passThrough_;
  EmulatedAspiLayer aspi_;
  std::unique_ptr<PlugSchedule> schedule_;
  std::function<uint64_t()> scheduleClock_;
};

}  // namespace zq
