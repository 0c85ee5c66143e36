// The emulated bridge chip: answers raw CDBs like the real one, over a
// 64 KiB NOR flash, with faults that tests can seed.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/vendor_commands.h"

namespace zq {

constexpr uint32_t EMULATED_FLASH_SIZE = 65536;
constexpr uint8_t SCSI_STATUS_GOOD = 0x00;
constexpr uint8_t SCSI_STATUS_CHECK_CONDITION = 0x02;

// Which way a command's data phase goes.
enum class DataDirection { None, In, Out };

// How the device answered one command.
enum class DeviceAnswer {
  Good,            // SCSI status GOOD
  CheckCondition,  // the device refused or failed the command
  Gone,            // nothing answered: the carrier's call itself fails
};

struct CommandLogEntry {
  uint8_t opcode;
  uint16_t address;  // CDB bytes 2-3
  uint16_t length;   // CDB bytes 4-5
  DataDirection direction;
  uint32_t transferLength;  // the data phase the carrier asked for
  size_t cdbLength;         // as declared by the carrier
  DeviceAnswer answer;
  uint8_t statusReply;  // CMD_STATUS answered Good: the status byte sent back
};

// Sees every command the device receives, e.g. to hold it against a
// transcript or to add up the time a real chip would take.
class CommandObserver {
 public:
  virtual ~CommandObserver() = default;
  // Before the device acts on it; false refuses the command, which is then
  // answered CheckCondition and changes nothing.
  virtual bool Admit(const CommandLogEntry& entry) = 0;
  // After the device acted and before it answers: false turns a good
  // answer into a failure, for a change that could not be kept.
  virtual bool Kept(const CommandLogEntry&) { return true; }
  // After the device has answered; `entry.answer` is filled in.
  virtual void Answered(const CommandLogEntry& entry) = 0;
};

// Faults are repeatable: counting starts at 1 from the device's creation.
struct BridgeFaults {
  std::optional<uint32_t> failWrite;    // the Nth CMD_WRITE fails
  std::optional<uint32_t> failRead;     // the Nth CMD_READ fails
  std::optional<uint32_t> lyingWrite;   // the Nth CMD_WRITE reports success, programs nothing
  std::optional<uint16_t> flipAddress;  // reads return this byte with its bits inverted
  bool eraseFails = false;              // status answers 2 after an erase
  bool stuckBusy = false;               // status stays busy after an erase
  bool statusFails = false;             // CMD_STATUS fails
  bool infoFails = false;               // CMD_GET_INFO fails
  std::optional<uint32_t> vanishAfter;  // every command after the Nth is Gone
  std::optional<uint32_t> failCommand;  // the Nth command of any kind is CheckCondition
  bool eraseRefused = false;            // CMD_ERASE is refused and erases nothing
  std::optional<uint32_t> shortRead;    // the Nth CMD_READ moves half its bytes, status good
};

class BridgeDevice {
 public:
  // The default record: SST VF040, 64 KB, firmware 2004.05.28.007, access allowed.
  static constexpr std::array<uint8_t, CHIP_INFO_RECORD_SIZE> DEFAULT_RECORD = {
      0x3F, 0x1D, 0x52, 0x10, 0x02, 0xBF, 0xD7, 0x01, 0x04, 0x05, 0x1C, 0x07};

  BridgeDevice();

  // Carries out one command. `data` holds `length` bytes: what the host sends
  // (Out) or room for what the device returns (In). Returned data shorter
  // than `length` leaves the rest of `data` as it was.
  // The model is strict so that carrier mistakes show: a CDB of 6 to 16
  // bytes whose reserved bytes are zero, the transfer of exactly the length
  // and direction its opcode implies, at most 512 bytes, and a block that
  // ends at or before 0x10000 (no wrap); anything else is CheckCondition.
  // CMD_WRITE is refused while an erase is still under way (status busy).
  DeviceAnswer Execute(const uint8_t* cdb, size_t cdbLength, DataDirection direction, uint8_t* data,
                       uint32_t length);
  // Bytes the last command moved in its data phase.
  uint32_t Moved() const { return moved_; }

  std::array<uint8_t, CHIP_INFO_RECORD_SIZE>& Record() { return record_; }
  std::array<uint8_t, EMULATED_FLASH_SIZE>& Flash() { return flash_; }
  BridgeFaults& Faults() { return faults_; }
  // Busy answers to CMD_STATUS after each erase before it answers ready.
  void SetBusyAnswers(uint32_t count) { busyAnswers_ = count; }
  // On real time instead: busy until this long after each erase, however
  // often it is asked. Zero goes back to counting answers.
  void SetEraseTime(std::chrono::microseconds duration) { eraseTime_ = duration; }
  const std::vector<CommandLogEntry>& Log() const { return log_; }
  // Null detaches; the observer must outlive its attachment.
  void SetObserver(CommandObserver* observer) { observer_ = observer; }
  void ClearLog() { log_.clear(); }

 private:
  std::array<uint8_t, CHIP_INFO_RECORD_SIZE> record_ = DEFAULT_RECORD;
  std::array<uint8_t, EMULATED_FLASH_SIZE> flash_{};
  BridgeFaults faults_;
  uint32_t busyAnswers_ = 2;
  uint32_t busyLeft_ = 0;
  std::chrono::microseconds eraseTime_{0};
  std::chrono::steady_clock::time_point eraseEnds_{};
  bool erased_ = false;
  uint32_t commands_ = 0;
  uint32_t writes_ = 0;
  uint32_t reads_ = 0;
  uint32_t moved_ = 0;
  std::vector<CommandLogEntry> log_;
  CommandObserver* observer_ = nullptr;

  DeviceAnswer Dispatch(const uint8_t* cdb, size_t cdbLength, DataDirection direction,
                        uint8_t* data, uint32_t length);
  DeviceAnswer GetInfo(DataDirection direction, uint8_t* data, uint32_t length);
  DeviceAnswer Erase(DataDirection direction, uint32_t length);
  DeviceAnswer Status(DataDirection direction, uint8_t* data, uint32_t length);
  DeviceAnswer Write(uint16_t address, uint16_t count, DataDirection direction, const uint8_t* data,
                     uint32_t length);
  DeviceAnswer Read(uint16_t address, uint16_t count, DataDirection direction, uint8_t* data,
                    uint32_t length);
  bool Erasing() const;
};

}  // namespace zq
