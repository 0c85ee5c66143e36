#include "cli/verbose_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/scsi_words.h"
#include "cli/terminal_window.h"

namespace zq::cli {

DeviceHandle VerbosePort::Open(const std::string& path) {
  const DeviceHandle device = inner_.Open(path);
  if (device != INVALID_DEVICE_HANDLE) {
    SpinLock lock(busy_);
    names_[device] = path;
  }
  return device;
}

bool VerbosePort::Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
                          uint32_t outputSize) {
  const ScsiPassThroughHeader before = buffer.header;
  const auto start = std::chrono::steady_clock::now();
  const bool called = inner_.Control(device, buffer, inputSize, outputSize);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::string name;
  {
    SpinLock lock(busy_);
    const auto it = names_.find(device);
    name = it == names_.end() ? "device" : it->second;
  }
  const std::string failure = !called && explain_ ? explain_(device) : std::string();
  // one write per line: the lines of bridges updated at once do not mix
  std::fprintf(log_, "zq5210: %s\n",
               EscapeControls(VerboseLine(name, before, buffer, called, failure, ms)).c_str());
  return called;
}

void VerbosePort::Close(DeviceHandle device) {
  {
    SpinLock lock(busy_);
    names_.erase(device);
  }
  inner_.Close(device);
}

std::string VerboseLine(const std::string& device, const ScsiPassThroughHeader& before,
                        const PassThroughBuffer& after, bool called, const std::string& failure,
                        double milliseconds) {
  const uint32_t length = before.DataTransferLength;
  std::string line =
      device + ": " + HexBytes(before.Cdb, std::min<size_t>(before.CdbLength, sizeof before.Cdb));
  line += length == 0 ? ", no data"
                      : std::string(before.DataIn == SCSI_IOCTL_DATA_IN ? ", in " : ", out ") +
                            std::to_string(length) + " bytes";
  if (!called) {
    line += ": control call failed";
    if (!failure.empty()) line += " (" + failure + ")";
  } else {
    const ScsiPassThroughHeader& header = after.header;
    line += ": " + ScsiStatusWords(header.ScsiStatus);
    if (header.ScsiStatus != 0) {
      const size_t senseLength = std::min<size_t>(before.SenseInfoLength, sizeof after.sense);
      const std::string words = SenseWords(after.sense, senseLength);
      line += ", sense " + (words.empty() ? std::string("none") : words);
    }
    const uint32_t moved = std::min(header.DataTransferLength, length);
    line += ", residue " + std::to_string(length - moved);
  }
  char time[32];
  std::snprintf(time, sizeof time, ", %.0f ms", milliseconds);
  return line + time;
}

}  // namespace zq::cli
