// One bridge found on one transport, bound to its device. A transport only
// carries one command at a time; the commands an update and a ROM read need,
// the erase procedure and reading a range are written once here over it.
// Dropping it closes the device.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "protocol/vendor_commands.h"

namespace zq {

// Which way a command's data phase goes; a command without data goes out
// with length 0.
enum class CarryDirection { In, Out };

// What became of one command handed to the carrier.
enum class Carried {
  NotSent,    // it could not even be prepared or was not taken
  Failed,     // sent, and the device or the carrier reported a failure
  Succeeded,  // sent and accepted
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

  // Carries one command. Out sends the first `length` bytes of `buffer`; In
  // fills them, and only on success: bytes the device does not deliver keep
  // what `buffer` held. A `length` above BLOCK_SIZE, or a missing buffer, is
  // not sent.
  virtual Carried Carry(const Cdb& cdb, CarryDirection direction, uint8_t* buffer,
                        uint32_t length) = 0;
  // Whether the carrier fails a command whose data phase came up short; one
  // that cannot tell reports such a read as a success.
  virtual bool SeesShortTransfers() const = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;

  // Sends CMD_ERASE and polls CMD_STATUS until the device is ready. When the
  // device refused the erase itself, the first `checkLength` bytes must then
  // read erased (0xFF), or the erase failed.
  bool EraseAndWait(ProgressStepper& progress, uint32_t checkLength,
                    const ErasePolling& polling = STEADY_ERASE_POLLING);
  Carried SendErase();
  // `length` is at most BLOCK_SIZE; a longer one is refused without sending.
  bool WriteBlock(uint32_t address, uint32_t length, const uint8_t* data);
  bool ReadBlock(uint32_t address, uint32_t length, uint8_t* buffer);
  bool QueryStatus(uint8_t& status);

 protected:
  Bridge(std::string name, const ChipInfo& info) : name_(std::move(name)), info_(info) {}

 private:
  std::string name_;
  ChipInfo info_;
};

// Told after each block a range read has read.
class BlockProgress {
 public:
  virtual void BlockRead() = 0;

 protected:
  ~BlockProgress() = default;
};

// Reads `length` bytes from address 0 into `into`, BLOCK_SIZE bytes at a
// time, telling `progress` after each block; false at the first block that
// fails. Bytes the device never delivered cannot pass for read ones: given
// `expected` (the bytes a verification looks for), each block starts as
// their complement, so a comparison fails; without it, a carrier that cannot
// see a short transfer reads each block twice over different fillings, and
// blocks that disagree fail the read.
bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into, BlockProgress& progress,
               const uint8_t* expected = nullptr);
// The same without progress.
bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into, const uint8_t* expected = nullptr);

}  // namespace zq
