// One bridge found on one transport, bound to its device: the commands that
// an update and a ROM read need, and the erase procedure written once over
// them. Dropping it closes the device.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "protocol/vendor_commands.h"

namespace zq {

// What became of a CMD_ERASE handed to the device.
enum class EraseRequest {
  NotSent,   // it could not even be prepared; the erase ends at once
  Refused,   // sent, and the device or the carrier reported a failure
  Accepted,  // sent and accepted
};

class Bridge {
 public:
  virtual ~Bridge() = default;
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // How people know the device: a node, a device path, or an adapter and target.
  const std::string& Name() const { return name_; }
  // The record the bridge answered with when it was found.
  const ChipInfo& Info() const { return info_; }

  // Sends CMD_ERASE and polls CMD_STATUS until the device is ready. When the
  // device refused the erase itself, the first `checkLength` bytes must then
  // read erased (0xFF), or the erase failed.
  bool EraseAndWait(ProgressStepper& progress, uint32_t checkLength,
                    const ErasePolling& polling = STEADY_ERASE_POLLING);
  // `length` is at most BLOCK_SIZE; a longer one is refused without sending.
  virtual bool WriteBlock(uint32_t address, uint32_t length, const uint8_t* data) = 0;
  virtual bool ReadBlock(uint32_t address, uint32_t length, uint8_t* buffer) = 0;
  virtual bool QueryStatus(uint8_t& status) = 0;

 protected:
  Bridge(std::string name, const ChipInfo& info) : name_(std::move(name)), info_(info) {}

  virtual EraseRequest SendErase() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;

 private:
  bool ReadsErased(uint32_t length);

  std::string name_;
  ChipInfo info_;
};

}  // namespace zq
