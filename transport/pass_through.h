// Carrying the vendor commands through the system's SCSI pass-through
// control, and finding the bridge among the disk and CD-ROM interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/bridge.h"
#include "protocol/vendor_commands.h"

namespace zq {

// Mirrors the platform's SCSI_PASS_THROUGH field for field; the Win32
// binding checks that both have the same size and offsets.
struct ScsiPassThroughHeader {
  uint16_t Length;
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  uintptr_t DataBufferOffset;  // pointer-sized: 44-byte header on 32 bits, 56 on 64
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};

constexpr uint32_t PASS_THROUGH_SENSE_SIZE = 32;

// One block serves as input and output of a command.
struct PassThroughBuffer {
  ScsiPassThroughHeader header;
  uint32_t filler;
  uint8_t sense[PASS_THROUGH_SENSE_SIZE];
  uint8_t data[BLOCK_SIZE];
};

constexpr uint32_t PASS_THROUGH_HEADER_SIZE = sizeof(ScsiPassThroughHeader);
constexpr uint32_t PASS_THROUGH_SENSE_OFFSET = offsetof(PassThroughBuffer, sense);
constexpr uint32_t PASS_THROUGH_DATA_OFFSET = offsetof(PassThroughBuffer, data);
// The whole block as the driver sees it: up to the end of the data area.
constexpr uint32_t PASS_THROUGH_BLOCK_SIZE = PASS_THROUGH_DATA_OFFSET + BLOCK_SIZE;

static_assert(sizeof(void*) != 4 ||
              (PASS_THROUGH_HEADER_SIZE == 44 && PASS_THROUGH_SENSE_OFFSET == 48 &&
               PASS_THROUGH_DATA_OFFSET == 80 && PASS_THROUGH_BLOCK_SIZE == 592));
static_assert(sizeof(void*) != 8 || PASS_THROUGH_HEADER_SIZE == 56);

constexpr uint8_t SCSI_IOCTL_DATA_OUT = 0;
constexpr uint8_t SCSI_IOCTL_DATA_IN = 1;
constexpr uint32_t PASS_THROUGH_TIMEOUT_SECONDS = 5;

// How long the system gives each command before it gives up on it; the
// transport sets it in every block it hands over.
struct CommandTimeouts {
  // The chip information asked of each device while finding bridges: one
  // that does not answer must not hold up the search.
  uint32_t findingSeconds = PASS_THROUGH_TIMEOUT_SECONDS;
  // Every command to a bridge once it is found.
  uint32_t bridgeSeconds = PASS_THROUGH_TIMEOUT_SECONDS;
};

// Whether the areas the header names lie inside the block as handed over:
// what a driver checks before it touches the device or the block.
bool PassThroughBlockFits(const ScsiPassThroughHeader& header, uint32_t inputSize,
                          uint32_t outputSize);

enum class InterfaceClass { Disk, CdRom };

using DeviceHandle = uintptr_t;
constexpr DeviceHandle INVALID_DEVICE_HANDLE = ~static_cast<DeviceHandle>(0);

// What listing the interfaces of a class hands out for one member index.
enum class ListStep {
  Found,   // `path` holds the device path
  End,     // no interface with this index
  Failed,  // the size query or the detail call failed
};

// The present device interfaces of one class, released when destroyed.
class InterfaceList {
 public:
  virtual ~InterfaceList() = default;
  virtual ListStep Get(uint32_t memberIndex, std::string& path) = 0;
};

// A list known in full beforehand.
class FixedInterfaceList final : public InterfaceList {
 public:
  explicit FixedInterfaceList(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  ListStep Get(uint32_t memberIndex, std::string& path) override {
    if (memberIndex >= paths_.size()) return ListStep::End;
    path = paths_[memberIndex];
    return ListStep::Found;
  }

 private:
  std::vector<std::string> paths_;
};

class PassThroughPort {
 public:
  virtual ~PassThroughPort() = default;
  // Null when the list cannot be had at all.
  virtual std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) = 0;
  // Opened for reading and writing without sharing; INVALID_DEVICE_HANDLE on failure.
  virtual DeviceHandle Open(const std::string& path) = 0;
  // Hands the block to the device; false when the control call fails.
  virtual bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
                       uint32_t outputSize) = 0;
  virtual void Close(DeviceHandle device) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// A device discovery looked at and could not use.
struct UnusedDevice {
  enum class Why {
    NotOpened,    // the port refused it, and keeps the reason
    NoChipInfo,   // opened, but the chip-information command failed
    OtherRecord,  // it answered with a record naming another device
  };
  std::string path;
  Why why = Why::NotOpened;
  ChipInfo record;  // OtherRecord: what it answered
};

class PassThroughTransport {
 public:
  explicit PassThroughTransport(PassThroughPort& port, CommandTimeouts timeouts = {})
      : port_(port), timeouts_(timeouts) {}

  // The first device of the class whose record carries both IDs, bound and
  // open; null when there is none. Every device that answers overwrites
  // `chipInfo`, the bridge or not.
  std::unique_ptr<Bridge> FindBridge(InterfaceClass cls, uint16_t vendorId, uint16_t productId,
                                     ChipInfo& chipInfo);
  // Every device of both classes that answers with both IDs, bound and open.
  std::vector<std::unique_ptr<Bridge>> FindBridges(uint16_t vendorId, uint16_t productId);
  bool ReadChipInfo(DeviceHandle device, ChipInfo& info);
  // Every device the searches so far could not use, once each, with the
  // latest reason; one found later is dropped.
  const std::vector<UnusedDevice>& Unused() const { return unused_; }

 private:
  // Keeps each device of the class that answers with both IDs, open, in
  // `found` (the first only, when `firstOnly`); every answer lands in `record`.
  void Scan(InterfaceClass cls, uint16_t vendorId, uint16_t productId, bool firstOnly,
            ChipInfo& record, std::vector<std::unique_ptr<Bridge>>& found);

  // Notes what became of `path`: unused for `why`, or found when `why` is empty.
  void Note(const std::string& path, std::optional<UnusedDevice::Why> why,
            const ChipInfo& record = {});

  PassThroughPort& port_;
  CommandTimeouts timeouts_;
  std::vector<UnusedDevice> unused_;
};

// A bridge on one open device; closes it when dropped.
class PassThroughBridge final : public Bridge {
 public:
  PassThroughBridge(PassThroughPort& port, DeviceHandle device, std::string name,
                    const ChipInfo& info, uint32_t timeoutSeconds = PASS_THROUGH_TIMEOUT_SECONDS)
      : Bridge(std::move(name), info),
        port_(port),
        device_(device),
        timeoutSeconds_(timeoutSeconds) {}
  ~PassThroughBridge() override;

  Carried Carry(const Cdb& cdb, CarryDirection direction, uint8_t* buffer,
                uint32_t length) override;
  // the driver hands back how much moved
  bool SeesShortTransfers() const override { return true; }
  void Sleep(uint32_t milliseconds) override { port_.Sleep(milliseconds); }

 private:
  PassThroughPort& port_;
  DeviceHandle device_;
  uint32_t timeoutSeconds_;
};

}  // namespace zq
