// A Bulk-Only Transport mass-storage target that plays the bridge: the
// commands usb-storage and sd send are answered over small RAM disks, the
// vendor commands go to the emulator's bridge model. No I/O happens here; the
// FunctionFS program moves the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/bridge_device.h"
#include "emulator/timing_model.h"

namespace zq::kernel {

constexpr size_t COMMAND_BLOCK_SIZE = 31;
constexpr size_t COMMAND_STATUS_SIZE = 13;
constexpr uint32_t DISK_BLOCK_SIZE = 512;
// more than usb-storage ever asks in one command (240 blocks by default)
constexpr uint32_t DATA_PHASE_MAX = 1024 * 1024;

constexpr uint8_t CSW_PASSED = 0;
constexpr uint8_t CSW_FAILED = 1;
constexpr uint8_t CSW_PHASE_ERROR = 2;

// The misbehaviour a test asks of one opcode: the Nth command with it, or
// every one when `nth` is 0.
struct OpcodeRule {
  uint8_t opcode = 0;
  uint32_t nth = 0;
  uint32_t value = 0;  // milliseconds for a slow command, bytes for a residue
};

struct TargetOptions {
  uint32_t luns = 1;
  uint32_t diskBlocks = 2048;
  bool answerInfo = true;        // false: the chip-information command is an unknown opcode
  std::vector<OpcodeRule> slow;  // answered after `value` ms
  std::vector<OpcodeRule> unitAttention;  // answered UNIT ATTENTION, not run
  std::vector<OpcodeRule> bogusResidue;   // status carries `value` as its residue
  bool timing = false;                    // each vendor command takes a real chip's time
  // the first disk starts with a partition table, as enclosures are sold:
  // "mbr" (one partition) or "gpt" (two); empty: none
  std::string partitionTable;
  bool lastLunCdRom = false;  // the last LUN answers as a CD-ROM drive
};

// Writes a partition table over the start (and for GPT the end) of `disk`,
// which holds `blocks` blocks: "mbr", one FAT partition over the disk;
// "gpt", two partitions of about half the disk each. False for another name.
bool WritePartitionTable(const std::string& kind, std::vector<uint8_t>& disk);

struct CommandBlock {
  uint32_t tag = 0;
  uint32_t dataLength = 0;
  bool dataIn = false;
  uint8_t lun = 0;
  uint8_t cdbLength = 0;
  std::array<uint8_t, 16> cdb{};
};

// The bridge's own commands, which go to the chip model.
bool IsVendorCommand(uint8_t opcode);

// False for anything but a well-formed 31-byte wrapper.
bool DecodeCommandBlock(const uint8_t* bytes, size_t size, CommandBlock& block);
std::array<uint8_t, COMMAND_STATUS_SIZE> EncodeCommandStatus(uint32_t tag, uint32_t residue,
                                                             uint8_t status);

struct CommandResult {
  uint8_t status = CSW_PASSED;
  std::vector<uint8_t> dataIn;  // what goes to the host, at most the wrapper's length
  uint32_t residue = 0;
  bool vanish = false;  // the bridge is gone: no status, the device leaves the bus
};

// "lun=0 op=e2 addr=0x0100 len=512 dir=out csw=0": what a test greps for.
// The address is the vendor command's flash address or the block address.
std::string DescribeCommand(const CommandBlock& block, const CommandResult& result);

class MassStorageTarget {
 public:
  explicit MassStorageTarget(const TargetOptions& options);
  ~MassStorageTarget();
  MassStorageTarget(const MassStorageTarget&) = delete;
  MassStorageTarget& operator=(const MassStorageTarget&) = delete;

  BridgeDevice& Bridge() { return bridge_; }
  // `dataOut` holds what the host sent for an Out command.
  CommandResult Execute(const CommandBlock& block, const std::vector<uint8_t>& dataOut);
  // How long a real chip would have been busy with the vendor commands so far.
  double BusyMicros() const { return timing_.TotalMicros(); }

 private:
  struct Sense {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
  };
  class Clock;

  CommandResult Vendor(const CommandBlock& block, const std::vector<uint8_t>& dataOut);
  CommandResult Standard(const CommandBlock& block, const std::vector<uint8_t>& dataOut);
  CommandResult Fail(const CommandBlock& block, uint8_t key, uint8_t asc, uint8_t ascq = 0);
  CommandResult SendIn(const CommandBlock& block, std::vector<uint8_t> data);
  const OpcodeRule* Matching(const std::vector<OpcodeRule>& rules, uint8_t opcode) const;

  TargetOptions options_;
  BridgeDevice bridge_;
  TimingModel timing_;
  std::unique_ptr<Clock> clock_;
  std::vector<std::vector<uint8_t>> disks_;
  std::vector<Sense> sense_;
  std::array<uint32_t, 256> seen_{};  // commands received per opcode
};

}  // namespace zq::kernel
