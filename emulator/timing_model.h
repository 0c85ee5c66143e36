// The time a real bridge would take for each command, added up per opcode:
// USB 2.0 bulk-only transport latency, the data phase, and the flash's own
// program, read and erase times.
#pragma once

#include <cstdint>
#include <map>

#include "emulator/bridge_device.h"

namespace zq {

struct TimingParameters {
  // a command, its data and its status each wait for a 125 us microframe;
  // the bridge firmware takes a few hundred us to decode and answer
  double commandLatencyUs = 3 * 125.0 + 300.0;
  double transferBytesPerUs = 35.0;  // ~35 MB/s effective on a high-speed bulk pipe
  double programUsPerByte = 20.0;    // byte program time of 512 Kbit-4 Mbit NOR parts
  double readUsPerByte = 0.1;        // ~70-90 ns access time
  double chipEraseUs = 100000.0;     // chip erase, ~100 ms
};

class TimingModel final : public CommandObserver {
 public:
  explicit TimingModel(TimingParameters parameters = {}) : parameters_(parameters) {}

  bool Admit(const CommandLogEntry&) override { return true; }
  void Answered(const CommandLogEntry& entry) override;

  // Simulated device time of one command as answered.
  double CommandMicros(const CommandLogEntry& entry) const;

  struct Tally {
    uint32_t commands = 0;
    double deviceUs = 0;
  };
  const std::map<uint8_t, Tally>& ByOpcode() const { return byOpcode_; }
  double TotalMicros() const;

 private:
  TimingParameters parameters_;
  std::map<uint8_t, Tally> byOpcode_;
};

}  // namespace zq
