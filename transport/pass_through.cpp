#include "transport/pass_through.h"

#include <cstring>

namespace zq {
namespace {

// the bridge sits behind the storage device as target 1, bus 0, unit 0
constexpr uint8_t PASS_THROUGH_PATH_ID = 0;
constexpr uint8_t PASS_THROUGH_TARGET_ID = 1;
constexpr uint8_t PASS_THROUGH_LUN = 0;

// Carries one command in a freshly zeroed block. A sending command takes its
// `length` bytes from `buffer`; a reading command copies `length` bytes back
// after success only, so a failure leaves the caller's buffer alone.
Carried CarryOn(PassThroughPort& port, DeviceHandle device, const Cdb& cdb,
                CarryDirection direction, uint8_t* buffer, uint32_t length,
                uint32_t timeoutSeconds) {
  if (device == INVALID_DEVICE_HANDLE || length > BLOCK_SIZE) return Carried::NotSent;
  if (length > 0 && buffer == nullptr) return Carried::NotSent;

  PassThroughBuffer block;
  std::memset(&block, 0, sizeof block);
  ScsiPassThroughHeader& header = block.header;
  const bool sending = direction == CarryDirection::Out;
  header.Length = static_cast<uint16_t>(PASS_THROUGH_HEADER_SIZE);
  header.ScsiStatus = 0;
  header.PathId = PASS_THROUGH_PATH_ID;
  header.TargetId = PASS_THROUGH_TARGET_ID;
  header.Lun = PASS_THROUGH_LUN;
  header.CdbLength = static_cast<uint8_t>(CDB_SIZE);
  header.SenseInfoLength = static_cast<uint8_t>(PASS_THROUGH_SENSE_SIZE);
  header.DataIn = sending ? SCSI_IOCTL_DATA_OUT : SCSI_IOCTL_DATA_IN;
  header.DataTransferLength = length;
  header.TimeOutValue = timeoutSeconds;
  header.DataBufferOffset = PASS_THROUGH_DATA_OFFSET;
  header.SenseInfoOffset = PASS_THROUGH_SENSE_OFFSET;
  std::memcpy(header.Cdb, cdb.data(), cdb.size());  // the other ten bytes stay zero

  if (sending && length > 0) std::memcpy(block.data, buffer, length);

  // the driver needs only the header to read from the device, the whole
  // block to send to it; it writes back up to the end of the data phase
  const uint32_t inputSize = sending ? PASS_THROUGH_BLOCK_SIZE : PASS_THROUGH_HEADER_SIZE;
  const uint32_t outputSize = PASS_THROUGH_DATA_OFFSET + length;
  const bool called = port.Control(device, block, inputSize, outputSize);
  if (!PassThroughCommandSucceeded(called, block.header.ScsiStatus)) return Carried::Failed;
  // the driver hands back how much moved: a short transfer is no success
  if (block.header.DataTransferLength < length) return Carried::Failed;

  if (!sending && length > 0) std::memcpy(buffer, block.data, length);
  return Carried::Succeeded;
}

}  // namespace

bool PassThroughBlockFits(const ScsiPassThroughHeader& header, uint32_t inputSize,
                          uint32_t outputSize) {
  constexpr uint8_t MAX_CDB_LENGTH = sizeof header.Cdb;
  if (inputSize < PASS_THROUGH_HEADER_SIZE || outputSize < PASS_THROUGH_HEADER_SIZE) return false;
  if (inputSize > PASS_THROUGH_BLOCK_SIZE || outputSize > PASS_THROUGH_BLOCK_SIZE) return false;
  if (header.Length != PASS_THROUGH_HEADER_SIZE) return false;
  if (header.CdbLength == 0 || header.CdbLength > MAX_CDB_LENGTH) return false;
  if (header.DataIn != SCSI_IOCTL_DATA_IN && header.DataIn != SCSI_IOCTL_DATA_OUT) return false;
  if (header.DataTransferLength > 0) {
    // data comes back in the output, goes out from the input
    const uint64_t end = uint64_t{header.DataBufferOffset} + header.DataTransferLength;
    const uint32_t room = header.DataIn == SCSI_IOCTL_DATA_IN ? outputSize : inputSize;
    if (header.DataBufferOffset < PASS_THROUGH_HEADER_SIZE || end > room) return false;
  }
  if (header.SenseInfoLength > 0) {
    const uint64_t end = uint64_t{header.SenseInfoOffset} + header.SenseInfoLength;
    if (header.SenseInfoOffset < PASS_THROUGH_HEADER_SIZE || end > outputSize) return false;
  }
  return true;
}

void PassThroughTransport::Scan(InterfaceClass cls, uint16_t vendorId, uint16_t productId,
                                bool firstOnly, ChipInfo& record,
                                std::vector<std::unique_ptr<Bridge>>& found) {
  const std::unique_ptr<InterfaceList> list = port_.ListInterfaces(cls);
  std::string path;
  for (uint32_t memberIndex = 0; list; ++memberIndex) {
    path.clear();
    if (list->Get(memberIndex, path) != ListStep::Found) return;

    const DeviceHandle device = port_.Open(path);
    // a disk that is denied or held open elsewhere must not hide a bridge
    // listed after it: pass it over
    if (device == INVALID_DEVICE_HANDLE) {
      Note(path, UnusedDevice::Why::NotOpened);
      continue;
    }

    // every device that answers leaves its record, the bridge or not
    if (!ReadChipInfo(device, record)) {
      Note(path, UnusedDevice::Why::NoChipInfo);
      port_.Close(device);
      continue;
    }
    if (!MatchesIdentity(record, vendorId, productId)) {
      Note(path, UnusedDevice::Why::OtherRecord, record);
      port_.Close(device);
      continue;
    }
    Note(path, std::nullopt);
    found.push_back(
        std::make_unique<PassThroughBridge>(port_, device, path, record, timeouts_.bridgeSeconds));
    if (firstOnly) return;
  }
}

void PassThroughTransport::Note(const std::string& path, std::optional<UnusedDevice::Why> why,
                                const ChipInfo& record) {
  std::erase_if(unused_, [&](const UnusedDevice& unused) { return unused.path == path; });
  if (why) unused_.push_back({path, *why, record});
}

std::unique_ptr<Bridge> PassThroughTransport::FindBridge(InterfaceClass cls, uint16_t vendorId,
                                                         uint16_t productId, ChipInfo& chipInfo) {
  std::vector<std::unique_ptr<Bridge>> found;
  Scan(cls, vendorId, productId, true, chipInfo, found);
  return found.empty() ? nullptr : std::move(found.front());
}

std::vector<std::unique_ptr<Bridge>> PassThroughTransport::FindBridges(uint16_t vendorId,
                                                                       uint16_t productId) {
  std::vector<std::unique_ptr<Bridge>> found;
  ChipInfo record;
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::CdRom}) {
    Scan(cls, vendorId, productId, false, record, found);
  }
  return found;
}

bool PassThroughTransport::ReadChipInfo(DeviceHandle device, ChipInfo& info) {
  uint8_t record[CHIP_INFO_RECORD_SIZE] = {};
  if (CarryOn(port_, device, EncodeGetInfo(), CarryDirection::In, record, CHIP_INFO_RECORD_SIZE,
              timeouts_.findingSeconds) != Carried::Succeeded) {
    return false;
  }
  info = DecodeChipInfo(record);
  return true;
}

PassThroughBridge::~PassThroughBridge() {
  // the device stays open for the whole operation, whichever way it ends
  if (device_ != INVALID_DEVICE_HANDLE) port_.Close(device_);
}

Carried PassThroughBridge::Carry(const Cdb& cdb, CarryDirection direction, uint8_t* buffer,
                                 uint32_t length) {
  return CarryOn(port_, device_, cdb, direction, buffer, length, timeoutSeconds_);
}

}  // namespace zq
