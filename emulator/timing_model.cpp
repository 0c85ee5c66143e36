#include "emulator/timing_model.h"

namespace zq {

double TimingModel::CommandMicros(const CommandLogEntry& entry) const {
  // nothing answered: the host gives up after its own time-out, which the
  // tool does not wait for in a good run
  if (entry.answer == DeviceAnswer::Gone) return 0;
  double us = parameters_.commandLatencyUs;
  if (entry.answer != DeviceAnswer::Good) return us;
  us += entry.transferLength / parameters_.transferBytesPerUs;
  switch (entry.opcode) {
    case CMD_WRITE:
      us += entry.transferLength * parameters_.programUsPerByte;
      break;
    case CMD_READ:
      us += entry.transferLength * parameters_.readUsPerByte;
      break;
    case CMD_ERASE:
      // the chip is busy this long whether or not the tool polls meanwhile
      us += parameters_.chipEraseUs;
      break;
    default:
      break;
  }
  return us;
}

void TimingModel::Answered(const CommandLogEntry& entry) {
  Tally& tally = byOpcode_[entry.opcode];
  ++tally.commands;
  tally.deviceUs += CommandMicros(entry);
}

double TimingModel::TotalMicros() const {
  double total = 0;
  for (const auto& [opcode, tally] : byOpcode_) total += tally.deviceUs;
  return total;
}

}  // namespace zq
