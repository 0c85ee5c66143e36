#include "emulator/bridge_device.h"

#include <algorithm>
#include <cstring>

namespace zq {
namespace {

// carriers may declare a longer CDB (ASPI sends 11 bytes) as long as the
// bytes past the six of the command are zero
constexpr size_t MAX_CDB_LENGTH = 16;

// neither erased (0xFF) nor zero, so a write without an erase shows
constexpr uint8_t FRESH_FLASH_FILL = 0xA5;

constexpr uint8_t ERASE_FAILED_STATUS = 2;

constexpr uint32_t UNSET_MOVED = UINT32_MAX;

bool Hits(const std::optional<uint32_t>& fault, uint32_t count) {
  return fault.has_value() && *fault == count;
}

bool ReservedBytesZero(const uint8_t* cdb, size_t cdbLength, bool hasAddressAndLength) {
  if (cdb[1] != 0) return false;
  if (!hasAddressAndLength && (cdb[2] | cdb[3] | cdb[4] | cdb[5]) != 0) return false;
  for (size_t i = CDB_SIZE; i < cdbLength; ++i) {
    if (cdb[i] != 0) return false;
  }
  return true;
}

}  // namespace

BridgeDevice::BridgeDevice() {
  flash_.fill(FRESH_FLASH_FILL);
}

DeviceAnswer BridgeDevice::Execute(const uint8_t* cdb, size_t cdbLength, DataDirection direction,
                                   uint8_t* data, uint32_t length) {
  ++commands_;
  CommandLogEntry entry{};
  if (cdb != nullptr && cdbLength >= 1) entry.opcode = cdb[0];
  if (cdb != nullptr && cdbLength >= CDB_SIZE) {
    entry.address = static_cast<uint16_t>(cdb[2] << 8 | cdb[3]);
    entry.length = static_cast<uint16_t>(cdb[4] << 8 | cdb[5]);
  }
  entry.direction = direction;
  entry.transferLength = length;
  entry.cdbLength = cdbLength;
  moved_ = UNSET_MOVED;

  if (faults_.vanishAfter.has_value() && commands_ > *faults_.vanishAfter) {
    entry.answer = DeviceAnswer::Gone;
  } else if (Hits(faults_.failCommand, commands_) ||
             (observer_ != nullptr && !observer_->Admit(entry))) {
    entry.answer = DeviceAnswer::CheckCondition;
  } else {
    entry.answer = Dispatch(cdb, cdbLength, direction, data, length);
    if (entry.opcode == CMD_STATUS && entry.answer == DeviceAnswer::Good && data != nullptr) {
      entry.statusReply = data[0];
    }
    if (entry.answer == DeviceAnswer::Good && observer_ != nullptr && !observer_->Kept(entry)) {
      entry.answer = DeviceAnswer::CheckCondition;
      moved_ = 0;
    }
  }
  // a command that ran to its end moved its whole data phase
  if (moved_ == UNSET_MOVED) moved_ = entry.answer == DeviceAnswer::Good ? length : 0;
  log_.push_back(entry);
  if (observer_ != nullptr) observer_->Answered(entry);
  return entry.answer;
}

DeviceAnswer BridgeDevice::Dispatch(const uint8_t* cdb, size_t cdbLength, DataDirection direction,
                                    uint8_t* data, uint32_t length) {
  if (cdb == nullptr || cdbLength < CDB_SIZE || cdbLength > MAX_CDB_LENGTH) {
    return DeviceAnswer::CheckCondition;
  }
  const uint8_t opcode = cdb[0];
  // fault counters count every command of their kind the device received
  if (opcode == CMD_WRITE) ++writes_;
  if (opcode == CMD_READ) ++reads_;

  if (length > BLOCK_SIZE) return DeviceAnswer::CheckCondition;
  if (length > 0 && data == nullptr) return DeviceAnswer::CheckCondition;
  const bool block = opcode == CMD_WRITE || opcode == CMD_READ;
  if (!ReservedBytesZero(cdb, cdbLength, block)) return DeviceAnswer::CheckCondition;

  const auto address = static_cast<uint16_t>(cdb[2] << 8 | cdb[3]);
  const auto count = static_cast<uint16_t>(cdb[4] << 8 | cdb[5]);
  switch (opcode) {
    case CMD_GET_INFO:
      return GetInfo(direction, data, length);
    case CMD_ERASE:
      return Erase(direction, length);
    case CMD_STATUS:
      return Status(direction, data, length);
    case CMD_WRITE:
      return Write(address, count, direction, data, length);
    case CMD_READ:
      return Read(address, count, direction, data, length);
    default:
      return DeviceAnswer::CheckCondition;
  }
}

DeviceAnswer BridgeDevice::GetInfo(DataDirection direction, uint8_t* data, uint32_t length) {
  if (direction != DataDirection::In || length != CHIP_INFO_RECORD_SIZE) {
    return DeviceAnswer::CheckCondition;
  }
  if (faults_.infoFails) return DeviceAnswer::CheckCondition;
  // the access flag is only data here: the chip itself never refuses
  std::memcpy(data, record_.data(), record_.size());
  return DeviceAnswer::Good;
}

DeviceAnswer BridgeDevice::Erase(DataDirection direction, uint32_t length) {
  // no data phase; carriers send it either as a bare or a 0-byte Out command
  if (direction == DataDirection::In || length != 0) return DeviceAnswer::CheckCondition;
  if (faults_.eraseRefused) return DeviceAnswer::CheckCondition;
  erased_ = true;
  busyLeft_ = busyAnswers_;
  eraseEnds_ = std::chrono::steady_clock::now() + eraseTime_;
  // a failed erase leaves the old contents in place
  if (!faults_.eraseFails) flash_.fill(0xFF);
  return DeviceAnswer::Good;
}

bool BridgeDevice::Erasing() const {
  if (!erased_) return false;
  if (faults_.stuckBusy) return true;
  if (eraseTime_.count() > 0) return std::chrono::steady_clock::now() < eraseEnds_;
  return busyLeft_ > 0;
}

DeviceAnswer BridgeDevice::Status(DataDirection direction, uint8_t* data, uint32_t length) {
  if (direction != DataDirection::In || length != STATUS_REPLY_SIZE) {
    return DeviceAnswer::CheckCondition;
  }
  if (faults_.statusFails) return DeviceAnswer::CheckCondition;
  uint8_t status = STATUS_READY;  // nothing started yet: idle
  if (erased_) {
    if (faults_.stuckBusy) {
      status = STATUS_BUSY;
    } else if (eraseTime_.count() > 0 && Erasing()) {
      status = STATUS_BUSY;
    } else if (eraseTime_.count() == 0 && busyLeft_ > 0) {
      --busyLeft_;
      status = STATUS_BUSY;
    } else if (faults_.eraseFails) {
      status = ERASE_FAILED_STATUS;
    }
  }
  data[0] = status;
  return DeviceAnswer::Good;
}

DeviceAnswer BridgeDevice::Write(uint16_t address, uint16_t count, DataDirection direction,
                                 const uint8_t* data, uint32_t length) {
  // a zero-length block may travel without a data phase
  const bool directionFits =
      direction == DataDirection::Out || (length == 0 && direction == DataDirection::None);
  if (!directionFits || count != length) return DeviceAnswer::CheckCondition;
  if (uint32_t{address} + count > EMULATED_FLASH_SIZE) return DeviceAnswer::CheckCondition;
  if (Hits(faults_.failWrite, writes_)) return DeviceAnswer::CheckCondition;
  // the flash takes no program commands until its erase has finished
  if (Erasing()) return DeviceAnswer::CheckCondition;
  if (Hits(faults_.lyingWrite, writes_)) return DeviceAnswer::Good;
  // NOR programming only clears bits
  for (uint32_t i = 0; i < count; ++i) flash_[address + i] &= data[i];
  return DeviceAnswer::Good;
}

DeviceAnswer BridgeDevice::Read(uint16_t address, uint16_t count, DataDirection direction,
                                uint8_t* data, uint32_t length) {
  const bool directionFits =
      direction == DataDirection::In || (length == 0 && direction == DataDirection::None);
  if (!directionFits || count != length) return DeviceAnswer::CheckCondition;
  if (uint32_t{address} + count > EMULATED_FLASH_SIZE) return DeviceAnswer::CheckCondition;
  if (Hits(faults_.failRead, reads_)) return DeviceAnswer::CheckCondition;
  // a short read hands back only the first half, leaving the rest as it was
  const uint32_t delivered = Hits(faults_.shortRead, reads_) ? count / 2u : count;
  if (delivered < count) moved_ = delivered;
  for (uint32_t i = 0; i < delivered; ++i) {
    const uint32_t at = address + i;
    uint8_t value = flash_[at];
    if (faults_.flipAddress.has_value() && *faults_.flipAddress == at) {
      value = static_cast<uint8_t>(~value);
    }
    data[i] = value;
  }
  return DeviceAnswer::Good;
}

}  // namespace zq
