#include "transport/pass_through.h"

#include <cstring>

namespace zq {
namespace {

// the bridge sits behind the storage device as target 1, bus 0, unit 0
constexpr uint8_t PASS_THROUGH_PATH_ID = 0;
constexpr uint8_t PASS_THROUGH_TARGET_ID = 1;
constexpr uint8_t PASS_THROUGH_LUN = 0;

// Carries one command in a freshly zeroed block. A sending command takes its
// `length` bytes from `send`; a reading command copies `length` bytes to
// `receive` after success only, so a failure leaves the caller's output alone.
bool Carry(PassThroughPort& port, DeviceHandle device, const Cdb& cdb, uint8_t dataIn,
           uint32_t length, const uint8_t* send, uint8_t* receive) {
  if (device == INVALID_DEVICE_HANDLE || length > BLOCK_SIZE) return false;

  PassThroughBuffer buffer;
  std::memset(&buffer, 0, sizeof buffer);
  ScsiPassThroughHeader& header = buffer.header;
  header.Length = static_cast<uint16_t>(PASS_THROUGH_HEADER_SIZE);
  header.ScsiStatus = 0;
  header.PathId = PASS_THROUGH_PATH_ID;
  header.TargetId = PASS_THROUGH_TARGET_ID;
  header.Lun = PASS_THROUGH_LUN;
  header.CdbLength = static_cast<uint8_t>(CDB_SIZE);
  header.SenseInfoLength = static_cast<uint8_t>(PASS_THROUGH_SENSE_SIZE);
  header.DataIn = dataIn;
  header.DataTransferLength = length;
  header.TimeOutValue = PASS_THROUGH_TIMEOUT_SECONDS;
  header.DataBufferOffset = PASS_THROUGH_DATA_OFFSET;
  header.SenseInfoOffset = PASS_THROUGH_SENSE_OFFSET;
  std::memcpy(header.Cdb, cdb.data(), cdb.size());  // the other ten bytes stay zero

  const bool sending = dataIn == SCSI_IOCTL_DATA_OUT;
  if (sending && length > 0) std::memcpy(buffer.data, send, length);

  // the driver needs only the header to read from the device, the whole
  // block to send to it; it writes back up to the end of the data phase
  const uint32_t inputSize = sending ? PASS_THROUGH_BLOCK_SIZE : PASS_THROUGH_HEADER_SIZE;
  const uint32_t outputSize = PASS_THROUGH_DATA_OFFSET + length;
  const bool called = port.Control(device, buffer, inputSize, outputSize);
  if (!PassThroughCommandSucceeded(called, buffer.header.ScsiStatus)) return false;
  // the driver hands back how much moved: a short transfer is no success
  if (buffer.header.DataTransferLength < length) return false;

  if (!sending && receive != nullptr && length > 0) std::memcpy(receive, buffer.data, length);
  return true;
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
    if (device == INVALID_DEVICE_HANDLE) continue;

    // every device that answers leaves its record, the bridge or not
    if (ReadChipInfo(device, record) && MatchesIdentity(record, vendorId, productId)) {
      found.push_back(std::make_unique<PassThroughBridge>(port_, device, path, record));
      if (firstOnly) return;
    } else {
      port_.Close(device);
    }
  }
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
  if (!Carry(port_, device, EncodeGetInfo(), SCSI_IOCTL_DATA_IN, CHIP_INFO_RECORD_SIZE, nullptr,
             record)) {
    return false;
  }
  info = DecodeChipInfo(record);
  return true;
}

PassThroughBridge::~PassThroughBridge() {
  // the device stays open for the whole operation, whichever way it ends
  if (device_ != INVALID_DEVICE_HANDLE) port_.Close(device_);
}

bool PassThroughBridge::QueryStatus(uint8_t& status) {
  uint8_t reply[STATUS_REPLY_SIZE] = {};
  if (!Carry(port_, device_, EncodeStatus(), SCSI_IOCTL_DATA_IN, STATUS_REPLY_SIZE, nullptr,
             reply)) {
    return false;
  }
  status = reply[0];
  return true;
}

EraseRequest PassThroughBridge::SendErase() {
  return Carry(port_, device_, EncodeErase(), SCSI_IOCTL_DATA_OUT, 0, nullptr, nullptr)
             ? EraseRequest::Accepted
             : EraseRequest::Refused;
}

bool PassThroughBridge::WriteBlock(uint32_t address, uint32_t length, const uint8_t* data) {
  if (length > BLOCK_SIZE || (length > 0 && data == nullptr)) return false;
  return Carry(port_, device_, EncodeWrite(address, length), SCSI_IOCTL_DATA_OUT, length, data,
               nullptr);
}

bool PassThroughBridge::ReadBlock(uint32_t address, uint32_t length, uint8_t* buffer) {
  if (length > BLOCK_SIZE || (length > 0 && buffer == nullptr)) return false;
  return Carry(port_, device_, EncodeRead(address, length), SCSI_IOCTL_DATA_IN, length, nullptr,
               buffer);
}

}  // namespace zq
