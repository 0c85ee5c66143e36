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

constexpr uint8_t PERIPHERAL_DISK = 0x00;
constexpr uint8_t PERIPHERAL_CDROM = 0x05;
// where the partitions start: what fdisk leaves free on a small disk
constexpr uint32_t FIRST_PARTITION_LBA = 64;
constexpr uint32_t GPT_ENTRIES = 128;
constexpr uint32_t GPT_ENTRY_SIZE = 128;
constexpr uint32_t GPT_ENTRY_BLOCKS = GPT_ENTRIES * GPT_ENTRY_SIZE / DISK_BLOCK_SIZE;
constexpr uint32_t GPT_HEADER_SIZE = 92;

void PutLittle16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void PutLittle64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// One MBR entry: type, first block, block count.
void PutMbrEntry(uint8_t* sector, int index, uint8_t type, uint32_t first, uint32_t count) {
  uint8_t* entry = sector + 446 + 16 * index;
  entry[4] = type;
  // CHS fields as "beyond the CHS range", which the kernel ignores
  entry[1] = entry[2] = entry[3] = entry[5] = entry[6] = entry[7] = 0xFF;
  PutLittle32(entry + 8, first);
  PutLittle32(entry + 12, count);
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

// A GPT header at `self` naming its twin at `other` and its entries at `entries`.
void PutGptHeader(uint8_t* header, uint64_t self, uint64_t other, uint64_t entries,
                  uint64_t lastUsable, uint32_t entriesCrc) {
  std::memcpy(header, "EFI PART", 8);
  PutLittle32(header + 8, 0x00010000);  // revision 1.0
  PutLittle32(header + 12, GPT_HEADER_SIZE);
  PutLittle64(header + 24, self);
  PutLittle64(header + 32, other);
  PutLittle64(header + 40, 2 + GPT_ENTRY_BLOCKS);  // first usable
  PutLittle64(header + 48, lastUsable);
  for (int i = 0; i < 16; ++i) header[56 + i] = static_cast<uint8_t>(0x51 + i);  // disk GUID
  PutLittle64(header + 72, entries);
  PutLittle32(header + 80, GPT_ENTRIES);
  PutLittle32(header + 84, GPT_ENTRY_SIZE);
  PutLittle32(header + 88, entriesCrc);
  PutLittle32(header + 16, Crc32(header, GPT_HEADER_SIZE));
}

}  // namespace

bool WritePartitionTable(const std::string& kind, std::vector<uint8_t>& disk) {
  const uint32_t blocks = static_cast<uint32_t>(disk.size() / DISK_BLOCK_SIZE);
  uint8_t* const at = disk.data();
  if (kind == "mbr" && blocks > FIRST_PARTITION_LBA) {
    PutMbrEntry(at, 0, 0x0C, FIRST_PARTITION_LBA, blocks - FIRST_PARTITION_LBA);  // FAT32 LBA
    return true;
  }
  const uint32_t lastUsable = blocks - 2 - GPT_ENTRY_BLOCKS;
  if (kind != "gpt" || lastUsable <= FIRST_PARTITION_LBA + 2) return false;
  // the protective MBR, then both headers with their copies of the entries
  PutMbrEntry(at, 0, 0xEE, 1, blocks - 1);
  std::vector<uint8_t> entries(GPT_ENTRIES * GPT_ENTRY_SIZE);
  const uint32_t half = (lastUsable - FIRST_PARTITION_LBA + 1) / 2;
  for (uint32_t i = 0; i < 2; ++i) {
    uint8_t* entry = entries.data() + i * GPT_ENTRY_SIZE;
    // type: Microsoft basic data, EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, mixed-endian
    const uint8_t type[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                              0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    std::memcpy(entry, type, sizeof type);
    for (uint32_t b = 0; b < 16; ++b) entry[16 + b] = static_cast<uint8_t>(0x10 * (i + 1) + b);
    const uint64_t first = FIRST_PARTITION_LBA + uint64_t{i} * half;
    PutLittle64(entry + 32, first);
    PutLittle64(entry + 40, first + half - 1);
    PutLittle16(entry + 56, 'Z');  // the name, UTF-16
    PutLittle16(entry + 58, static_cast<uint16_t>('1' + i));
  }
  const uint32_t entriesCrc = Crc32(entries.data(), entries.size());
  const uint64_t last = blocks - 1;
  const uint64_t backupEntries = last - GPT_ENTRY_BLOCKS;
  std::memcpy(at + 2 * DISK_BLOCK_SIZE, entries.data(), entries.size());
  std::memcpy(at + backupEntries * DISK_BLOCK_SIZE, entries.data(), entries.size());
  PutGptHeader(at + DISK_BLOCK_SIZE, 1, last, 2, lastUsable, entriesCrc);
  PutGptHeader(at + last * DISK_BLOCK_SIZE, last, 1, backupEntries, lastUsable, entriesCrc);
  return true;
}

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
  if (!options.partitionTable.empty()) WritePartitionTable(options.partitionTable, disks_[0]);
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
      const bool cdRom = options_.lastLunCdRom && block.lun + 1u == options_.luns;
      data[0] = cdRom ? PERIPHERAL_CDROM : PERIPHERAL_DISK;
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
