// The bridge's five vendor SCSI commands and its chip-information record,
// independent of how a command reaches the device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/usb_ids.h"

namespace zq {

constexpr uint8_t CMD_GET_INFO = 0xE0;
constexpr uint8_t CMD_ERASE = 0xE1;
constexpr uint8_t CMD_WRITE = 0xE2;
constexpr uint8_t CMD_READ = 0xE3;
constexpr uint8_t CMD_STATUS = 0xF7;

constexpr uint8_t STATUS_READY = 0;
constexpr uint8_t STATUS_BUSY = 1;

constexpr size_t CDB_SIZE = 6;
constexpr uint32_t CHIP_INFO_RECORD_SIZE = 12;
constexpr uint32_t STATUS_REPLY_SIZE = 1;
constexpr uint32_t BLOCK_SIZE = 512;  // largest data phase of CMD_WRITE / CMD_READ

using Cdb = std::array<uint8_t, CDB_SIZE>;

// Every CDB is six bytes; address and length go high byte first and only
// their low 16 bits are sent.
Cdb EncodeGetInfo();
Cdb EncodeErase();
Cdb EncodeWrite(uint32_t address, uint32_t length);
Cdb EncodeRead(uint32_t address, uint32_t length);
Cdb EncodeStatus();

// The decoded 12-byte record; the field order is the record's permutation,
// not its byte order.
struct ChipInfo {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint8_t fwYear = 0;
  uint8_t fwMonth = 0;
  uint8_t fwDay = 0;
  uint8_t fwBuild = 0;
  uint8_t romSizeCode = 0;
  uint8_t flashMaker = 0;
  uint8_t flashDevice = 0;
  uint8_t accessFlag = 0;

  friend bool operator==(const ChipInfo&, const ChipInfo&) = default;
};

ChipInfo DecodeChipInfo(const uint8_t (&record)[CHIP_INFO_RECORD_SIZE]);
std::array<uint8_t, CHIP_INFO_RECORD_SIZE> EncodeChipInfo(const ChipInfo& info);

bool MatchesIdentity(const ChipInfo& info, uint16_t vendorId, uint16_t productId);

// Success rules of the two carriers.
bool PassThroughCommandSucceeded(bool controlCallSucceeded, uint8_t scsiStatus);
bool AspiCommandSucceeded(uint8_t srbStatus);

// Where EraseAndWait reports its progress (the window's StepProgress).
class ProgressStepper {
 public:
  virtual void StepProgress(uint8_t step, uint8_t cap) = 0;

 protected:
  ~ProgressStepper() = default;
};

constexpr uint32_t ERASE_POLL_INTERVAL_MS = 1000;
constexpr uint8_t ERASE_PROGRESS_STEP = 5;  // per second waited
constexpr uint8_t ERASE_PROGRESS_CAP = 30;
// A device still busy after this many polls (two minutes) is given up on.
constexpr uint32_t ERASE_MAX_BUSY_POLLS = 120;
constexpr uint32_t ERASE_MAX_WAIT_MS = ERASE_MAX_BUSY_POLLS * ERASE_POLL_INTERVAL_MS;

// How the erase is polled: the wait between two polls, and the longest
// total wait.
struct ErasePolling {
  uint32_t intervalMs;
  uint32_t totalWaitMs;
};

// Once a second, as the window has always polled.
inline constexpr ErasePolling STEADY_ERASE_POLLING = {ERASE_POLL_INTERVAL_MS, ERASE_MAX_WAIT_MS};

}  // namespace zq
