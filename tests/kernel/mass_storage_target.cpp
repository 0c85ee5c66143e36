#include "tests/kernel/mass_storage_target.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "protocol/vendor_commands.h"

namespace zq::kernel {
namespace {

constexpr uint32_t CBW_SIGNATURE = 0x43425355;  // "USBC"
constexpr uint32_t CSW_SIGNATURE = 0x53425355;  // "USBS"
constexpr uint8_t CBW_FLAG_IN = 0x80;

constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_MODE_SENSE_6 = 0x1A;
constexpr uint8_t OP_START_STOP_UNIT = 0x1B;
constexpr uint8_t OP_PREVENT_ALLOW_REMOVAL = 0x1E;
constexpr uint8_t OP_READ_CAPACITY_10 = 0x25;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;
constexpr uint8_t OP_SYNCHRONIZE_CACHE_10 = 0x35;
constexpr uint8_t OP_MODE_SENSE_10 = 0x5A;

constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x05;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x06;
constexpr uint8_t ASC_INVALID_OPCODE = 0x20;
constexpr uint8_t ASC_LBA_OUT_OF_RANGE = 0x21;
constexpr uint8_t ASC_INVALID_FIELD_IN_CDB = 0x24;
constexpr uint8_t ASC_LUN_NOT_SUPPORTED = 0x25;
constexpr uint8_t ASC_POWER_ON_OR_RESET = 0x29;

uint32_t Little32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLittle32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Big32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void PutBig32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Which way a standard command moves its data; Unknown for a command this
// target does not implement, refused whatever the host's data phase.
enum class Phase { Unknown, None, In, Out };

Phase PhaseOf(uint8_t opcode) {
  switch (opcode) {
    case OP_REQUEST_SENSE:
    case OP_INQUIRY:
    case OP_MODE_SENSE_6:
    case OP_MODE_SENSE_10:
    case OP_READ_CAPACITY_10:
    case OP_READ_10:
      return Phase::In;
    case OP_WRITE_10:
      return Phase::Out;
    case OP_TEST_UNIT_READY:
    case OP_START_STOP_UNIT:
    case OP_PREVENT_ALLOW_REMOVAL:
    case OP_SYNCHRONIZE_CACHE_10:
      return Phase::None;
    default:
      return Phase::Unknown;
  }
}

}  // namespace

bool IsVendorCommand(uint8_t opcode) {
  return opcode == CMD_GET_INFO || opcode == CMD_ERASE || opcode == CMD_WRITE ||
         opcode == CMD_READ || opcode == CMD_STATUS;
}

// Adds up what a real chip would take and, on real time, takes it.
class MassStorageTarget::Clock final : public CommandObserver {
 public:
  Clock(TimingModel& timing, bool realTime) : timing_(timing), realTime_(realTime) {}
  bool Admit(const CommandLogEntry&) override { return true; }
  void Answered(const CommandLogEntry& entry) override {
    timing_.Answered(entry);
    if (!realTime_) return;
    double us = timing_.CommandMicros(entry);
    // the erase runs on in the chip, busy until its time is up
    if (entry.opcode == CMD_ERASE && entry.answer == DeviceAnswer::Good) {
      us -= TimingParameters{}.chipEraseUs;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(us)));
  }

 private:
  TimingModel& timing_;
  bool realTime_;
};

bool DecodeCommandBlock(const uint8_t* bytes, size_t size, CommandBlock& block) {
  if (size != COMMAND_BLOCK_SIZE || Little32(bytes) != CBW_SIGNATURE) return false;
  block.tag = Little32(bytes + 4);
  block.dataLength = Little32(bytes + 8);
  block.dataIn = (bytes[12] & CBW_FLAG_IN) != 0;
  block.lun = bytes[13] & 0x0F;
  block.cdbLength = bytes[14] & 0x1F;
  if (block.cdbLength < 1 || block.cdbLength > block.cdb.size()) return false;
  std::memcpy(block.cdb.data(), bytes + 15, block.cdb.size());
  return true;
}

std::array<uint8_t, COMMAND_STATUS_SIZE> EncodeCommandStatus(uint32_t tag, uint32_t residue,
                                                             uint8_t status) {
  std::array<uint8_t, COMMAND_STATUS_SIZE> csw{};
  PutLittle32(csw.data(), CSW_SIGNATURE);
  PutLittle32(csw.data() + 4, tag);
  PutLittle32(csw.data() + 8, residue);
  csw[12] = status;
  return csw;
}

std::string DescribeCommand(const CommandBlock& block, const CommandResult& result) {
  const uint8_t* cdb = block.cdb.data();
  uint32_t address = 0;
  if (IsVendorCommand(cdb[0])) address = uint32_t{cdb[2]} << 8 | cdb[3];
  if (cdb[0] == OP_READ_10 || cdb[0] == OP_WRITE_10) address = Big32(cdb + 2);
  const char* direction = block.dataLength == 0 ? "none" : block.dataIn ? "in" : "out";
  char line[160];
  std::snprintf(line, sizeof line, "lun=%u op=%02x addr=0x%04x len=%u dir=%s csw=%u%s",
                unsigned{block.lun}, unsigned{cdb[0]}, address, block.dataLength, direction,
                unsigned{result.status}, result.vanish ? " vanished" : "");
  return line;
}

MassStorageTarget::MassStorageTarget(const TargetOptions& options)
    : options_(options),
      clock_(std::make_unique<Clock>(timing_, options.timing)),
      disks_(options.luns, std::vector<uint8_t>(size_t{options.diskBlocks} * DISK_BLOCK_SIZE)),
      sense_(options.luns) {
  bridge_.SetObserver(clock_.get());
  if (options.timing) {
    bridge_.SetEraseTime(
        std::chrono::microseconds(static_cast<int64_t>(TimingParameters{}.chipEraseUs)));
  }
}

MassStorageTarget::~MassStorageTarget() {
  bridge_.SetObserver(nullptr);
}

const OpcodeRule* MassStorageTarget::Matching(const std::vector<OpcodeRule>& rules,
                                              uint8_t opcode) const {
  for (const OpcodeRule& rule : rules) {
    if (rule.opcode == opcode && (rule.nth == 0 || rule.nth == seen_[opcode])) return &rule;
  }
  return nullptr;
}

CommandResult MassStorageTarget::Execute(const CommandBlock& block,
                                         const std::vector<uint8_t>& dataOut) {
  const uint8_t opcode = block.cdb[0];
  ++seen_[opcode];
  if (const OpcodeRule* rule = Matching(options_.slow, opcode)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(rule->value));
  }
  CommandResult result;
  if (block.lun >= options_.luns) {
    result = Fail(block, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED);
  } else if (Matching(options_.unitAttention, opcode) != nullptr) {
    // as after a bus reset: the command is not run, the next one would be
    result = Fail(block, SENSE_UNIT_ATTENTION, ASC_POWER_ON_OR_RESET);
  } else if (IsVendorCommand(opcode) && (opcode != CMD_GET_INFO || options_.answerInfo)) {
    result = Vendor(block, dataOut);
  } else {
    result = Standard(block, dataOut);
  }
  if (const OpcodeRule* rule = Matching(options_.bogusResidue, opcode)) {
    result.residue = rule->value;
  }
  return result;
}

CommandResult MassStorageTarget::Vendor(const CommandBlock& block,
                                        const std::vector<uint8_t>& dataOut) {
  const DataDirection direction = block.dataLength == 0 ? DataDirection::None
                                  : block.dataIn        ? DataDirection::In
                                                        : DataDirection::Out;
  std::vector<uint8_t> data = block.dataIn ? std::vector<uint8_t>(block.dataLength) : dataOut;
  const DeviceAnswer answer =
      bridge_.Execute(block.cdb.data(), block.cdbLength, direction, data.data(), block.dataLength);
  CommandResult result;
  if (answer == DeviceAnswer::Gone) {
    result.vanish = true;
    return result;
  }
  if (answer == DeviceAnswer::CheckCondition) {
    return Fail(block, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
  }
  sense_[block.lun] = {};
  if (block.dataIn)
    data.resize(std::min(bridge_.Moved(), block.dataLength));
  else
    data.clear();
  result.residue = block.dataLength - (block.dataIn ? static_cast<uint32_t>(data.size())
                                                    : std::min(bridge_.Moved(), block.dataLength));
  result.dataIn = std::move(data);
  return result;
}

CommandResult MassStorageTarget::Fail(const CommandBlock& block, uint8_t key, uint8_t asc,
                                      uint8_t ascq) {
  if (block.lun < sense_.size()) sense_[block.lun] = {key, asc, ascq};
  CommandResult result;
  result.status = CSW_FAILED;
  result.residue = block.dataLength;
  return result;
}

CommandResult MassStorageTarget::SendIn(const CommandBlock& block, std::vector<uint8_t> data) {
  CommandResult result;
  if (data.size() > block.dataLength) data.resize(block.dataLength);
  result.residue = block.dataLength - static_cast<uint32_t>(data.size());
  result.dataIn = std::move(data);
  return result;
}

CommandResult MassStorageTarget::Standard(const CommandBlock& block,
                                          const std::vector<uint8_t>& dataOut) {
  const uint8_t* cdb = block.cdb.data();
  const Phase phase = PhaseOf(cdb[0]);
  // the host's data phase goes the other way than the command's: a phase error
  if (phase == Phase::Unknown) return Fail(block, SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  if (block.dataLength > 0 && ((phase == Phase::In) != block.dataIn || phase == Phase::None)) {
    CommandResult result;
    result.status = CSW_PHASE_ERROR;
    result.residue = block.dataLength;
    return result;
  }
  std::vector<uint8_t>& disk = disks_[block.lun];
  Sense& sense = sense_[block.lun];
  const uint32_t blocks = options_.diskBlocks;

  switch (cdb[0]) {
    case OP_TEST_UNIT_READY:
    case OP_START_STOP_UNIT:
    case OP_PREVENT_ALLOW_REMOVAL:
    case OP_SYNCHRONIZE_CACHE_10:
      sense = {};
      return {};
    case OP_REQUEST_SENSE: {
      std::vector<uint8_t> data(18);
      data[0] = 0x70;  // current error, fixed format
      data[2] = sense.key;
      data[7] = 10;  // additional sense length
      data[12] = sense.asc;
      data[13] = sense.ascq;
      sense = {};
      return SendIn(block, std::move(data));
    }
    case OP_INQUIRY: {
      if ((cdb[1] & 0x01) != 0) return Fail(block, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
      std::vector<uint8_t> data(36, ' ');
      data[0] = 0x00;  // direct-access block device
      data[1] = 0x80;  // removable medium, as the enclosure's bridge reports
      data[2] = 0x04;  // SPC-2
      data[3] = 0x02;  // response data format
      data[4] = 31;    // additional length
      data[5] = data[6] = data[7] = 0;
      std::memcpy(&data[8], "ZQ", 2);
      std::memcpy(&data[16], "USB Bridge", 10);
      std::memcpy(&data[32], "0001", 4);
      sense = {};
      return SendIn(block, std::move(data));
    }
    case OP_MODE_SENSE_6:
      // a header only: not write-protected, no block descriptor, no pages
      sense = {};
      return SendIn(block, {3, 0, 0, 0});
    case OP_MODE_SENSE_10:
      sense = {};
      return SendIn(block, {0, 6, 0, 0, 0, 0, 0, 0});
    case OP_READ_CAPACITY_10: {
      std::vector<uint8_t> data(8);
      PutBig32(data.data(), blocks - 1);
      PutBig32(data.data() + 4, DISK_BLOCK_SIZE);
      sense = {};
      return SendIn(block, std::move(data));
    }
    case OP_READ_10:
    case OP_WRITE_10: {
      const uint32_t lba = Big32(cdb + 2);
      const uint32_t count = uint32_t{cdb[7]} << 8 | cdb[8];
      const uint64_t bytes = uint64_t{count} * DISK_BLOCK_SIZE;
      if (uint64_t{lba} + count > blocks) {
        return Fail(block, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE);
      }
      if (bytes > block.dataLength) {
        CommandResult result;
        result.status = CSW_PHASE_ERROR;
        result.residue = block.dataLength;
        return result;
      }
      const size_t at = size_t{lba} * DISK_BLOCK_SIZE;
      sense = {};
      if (cdb[0] == OP_READ_10) {
        return SendIn(block,
                      std::vector<uint8_t>(disk.begin() + static_cast<ptrdiff_t>(at),
                                           disk.begin() + static_cast<ptrdiff_t>(at + bytes)));
      }
      std::copy_n(dataOut.begin(), bytes, disk.begin() + static_cast<ptrdiff_t>(at));
      CommandResult result;
      result.residue = block.dataLength - static_cast<uint32_t>(bytes);
      return result;
    }
    default:
      return Fail(block, SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  }
}

}  // namespace zq::kernel
