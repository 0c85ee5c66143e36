#include "emulator/emulated_pass_through.h"

#include <algorithm>
#include <cstring>

namespace zq {
namespace {

constexpr uint8_t SCSI_MAX_CDB_LENGTH = 16;
// what an ordinary disk leaves in the data area of a command it refuses, so
// that a transport using failed data shows it
constexpr uint8_t REFUSED_DATA_FILL = 0xA5;
// fixed-format sense: illegal request, invalid command operation code
constexpr uint8_t SENSE_INVALID_OPCODE[] = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0};

int ClassIndex(InterfaceClass cls) {
  return cls == InterfaceClass::Disk ? 0 : 1;
}

const char* ClassName(InterfaceClass cls) {
  return cls == InterfaceClass::Disk ? "disk" : "cdrom";
}

bool IsZero(const uint8_t* bytes, size_t count) {
  return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; });
}

// Everything the transport should have left zero: the status byte, the unused
// CDB bytes, the filler, the sense area and the data area beyond what is sent.
bool ZeroedOnEntry(const PassThroughBuffer& buffer) {
  const ScsiPassThroughHeader& header = buffer.header;
  const size_t cdbLength = std::min<size_t>(header.CdbLength, SCSI_MAX_CDB_LENGTH);
  const size_t sent = header.DataIn == SCSI_IOCTL_DATA_OUT
                          ? std::min<size_t>(header.DataTransferLength, BLOCK_SIZE)
                          : 0;
  return header.ScsiStatus == 0 &&
         IsZero(header.Cdb + cdbLength, SCSI_MAX_CDB_LENGTH - cdbLength) && buffer.filler == 0 &&
         IsZero(buffer.sense, sizeof buffer.sense) && IsZero(buffer.data + sent, BLOCK_SIZE - sent);
}

}  // namespace

Cdb PortCall::CdbSent() const {
  Cdb cdb{};
  std::memcpy(cdb.data(), header.Cdb, cdb.size());
  return cdb;
}

class EmulatedPassThroughPort::List final : public InterfaceList {
 public:
  List(EmulatedPassThroughPort& port, InterfaceClass cls) : port_(port), cls_(cls) {}
  ~List() override { port_.ListReleased(cls_); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  ListStep Get(uint32_t memberIndex, std::string& path) override {
    return port_.Step(cls_, memberIndex, path);
  }

 private:
  EmulatedPassThroughPort& port_;
  InterfaceClass cls_;
};

EmulatedPassThroughPort::EmulatedPassThroughPort() = default;
EmulatedPassThroughPort::~EmulatedPassThroughPort() = default;

EmulatedDevice& EmulatedPassThroughPort::Add(InterfaceClass cls, BridgeDevice* chip) {
  const size_t number =
      1 + static_cast<size_t>(std::count_if(devices_.begin(), devices_.end(),
                                            [cls](const auto& d) { return d->cls == cls; }));
  auto device = std::make_unique<EmulatedDevice>();
  device->cls = cls;
  device->path = std::string("\\\\?\\emulated#") + ClassName(cls) + "#" + std::to_string(number);
  device->chip = chip;
  devices_.push_back(std::move(device));
  return *devices_.back();
}

EmulatedDevice& EmulatedPassThroughPort::AddBridge(InterfaceClass cls) {
  ownedChips_.push_back(std::make_unique<BridgeDevice>());
  return AddBridge(cls, *ownedChips_.back());
}

EmulatedDevice& EmulatedPassThroughPort::AddBridge(InterfaceClass cls, BridgeDevice& chip) {
  if (firstBridge_ == nullptr) firstBridge_ = &chip;
  return Add(cls, &chip);
}

EmulatedDevice& EmulatedPassThroughPort::AddBridge(InterfaceClass cls, BridgeDevice& chip,
                                                   const std::string& path) {
  EmulatedDevice& device = AddBridge(cls, chip);
  device.path = path;
  return device;
}

EmulatedDevice& EmulatedPassThroughPort::AddDeviceWithRecord(
    InterfaceClass cls, const std::array<uint8_t, CHIP_INFO_RECORD_SIZE>& record) {
  ownedChips_.push_back(std::make_unique<BridgeDevice>());
  ownedChips_.back()->Record() = record;
  return Add(cls, ownedChips_.back().get());
}

EmulatedDevice& EmulatedPassThroughPort::AddOrdinaryDisk(InterfaceClass cls) {
  return Add(cls, nullptr);
}

EmulatedDevice& EmulatedPassThroughPort::AddUnopenable(InterfaceClass cls) {
  EmulatedDevice& device = Add(cls, nullptr);
  device.opens = false;
  return device;
}

void EmulatedPassThroughPort::FailListing(InterfaceClass cls, uint32_t memberIndex,
                                          ListFault fault) {
  listFaults_[{ClassIndex(cls), memberIndex}] = fault;
}

void EmulatedPassThroughPort::MakeListUnavailable(InterfaceClass cls) {
  listUnavailable_[ClassIndex(cls)] = true;
}

std::unique_ptr<InterfaceList> EmulatedPassThroughPort::ListInterfaces(InterfaceClass cls) {
  PortCall call;
  call.kind = PortCallKind::List;
  call.cls = cls;
  call.result = !listUnavailable_[ClassIndex(cls)];
  calls_.push_back(call);
  if (!call.result) return nullptr;
  ++listsAlive_;
  return std::make_unique<List>(*this, cls);
}

ListStep EmulatedPassThroughPort::Step(InterfaceClass cls, uint32_t memberIndex,
                                       std::string& path) {
  PortCall call;
  call.kind = PortCallKind::ListStep;
  call.cls = cls;
  call.memberIndex = memberIndex;

  const auto fault = listFaults_.find({ClassIndex(cls), memberIndex});
  if (fault != listFaults_.end()) {
    call.step = ListStep::Failed;
    call.fault = fault->second;
  } else {
    call.step = ListStep::End;
    uint32_t seen = 0;
    for (const auto& device : devices_) {
      if (device->cls != cls) continue;
      if (seen++ == memberIndex) {
        call.step = ListStep::Found;
        call.path = device->path;
        path = device->path;
        break;
      }
    }
  }
  call.result = call.step == ListStep::Found;
  calls_.push_back(call);
  return call.step;
}

void EmulatedPassThroughPort::ListReleased(InterfaceClass cls) {
  PortCall call;
  call.kind = PortCallKind::ListRelease;
  call.cls = cls;
  calls_.push_back(call);
  --listsAlive_;
}

EmulatedDevice* EmulatedPassThroughPort::Find(const std::string& path) {
  for (const auto& device : devices_) {
    if (device->path == path) return device.get();
  }
  return nullptr;
}

DeviceHandle EmulatedPassThroughPort::Open(const std::string& path) {
  PortCall call;
  call.kind = PortCallKind::Open;
  call.path = path;
  EmulatedDevice* device = Find(path);
  // opened without sharing: a device already open cannot be opened again
  const bool busy = std::any_of(open_.begin(), open_.end(),
                                [device](const auto& entry) { return entry.second == device; });
  if (device != nullptr && device->opens && !busy) {
    call.handle = nextHandle_++;
    call.result = true;
    open_[call.handle] = device;
  }
  calls_.push_back(call);
  return call.handle;
}

bool EmulatedPassThroughPort::Control(DeviceHandle device, PassThroughBuffer& buffer,
                                      uint32_t inputSize, uint32_t outputSize) {
  PortCall call;
  call.kind = PortCallKind::Control;
  call.handle = device;
  call.inputSize = inputSize;
  call.outputSize = outputSize;
  call.header = buffer.header;
  call.zeroedOnEntry = ZeroedOnEntry(buffer);
  if (buffer.header.DataIn == SCSI_IOCTL_DATA_OUT) {
    const uint32_t sent = std::min(buffer.header.DataTransferLength, BLOCK_SIZE);
    call.dataOut.assign(buffer.data, buffer.data + sent);
  }

  const auto entry = open_.find(device);
  if (entry != open_.end()) {
    call.path = entry->second->path;
    call.accepted = PassThroughBlockFits(buffer.header, inputSize, outputSize);
    if (call.accepted) call.result = Carry(*entry->second, buffer);
  }
  call.scsiStatus = buffer.header.ScsiStatus;
  calls_.push_back(std::move(call));
  return calls_.back().result;
}

bool EmulatedPassThroughPort::Carry(EmulatedDevice& device, PassThroughBuffer& buffer) {
  ScsiPassThroughHeader& header = buffer.header;
  const uint8_t opcode = header.Cdb[0];
  if (device.controlFails || device.controlFailsOn == opcode) return false;

  // the driver has checked that both areas lie inside the block
  uint8_t* const block = reinterpret_cast<uint8_t*>(&buffer);
  uint8_t* const data = block + header.DataBufferOffset;
  uint8_t* const sense = block + header.SenseInfoOffset;
  const uint32_t length = header.DataTransferLength;
  const DataDirection direction = length == 0                           ? DataDirection::None
                                  : header.DataIn == SCSI_IOCTL_DATA_IN ? DataDirection::In
                                                                        : DataDirection::Out;
  DeviceAnswer answer = DeviceAnswer::CheckCondition;
  if (device.chip != nullptr) {
    answer = device.chip->Execute(header.Cdb, header.CdbLength, direction, data, length);
    // the driver reports how much of the data phase moved
    if (answer == DeviceAnswer::Good) header.DataTransferLength = device.chip->Moved();
  } else if (direction == DataDirection::In) {
    std::memset(data, REFUSED_DATA_FILL, length);
  }

  switch (answer) {
    case DeviceAnswer::Good:
      header.ScsiStatus = device.goodStatus;
      return true;
    case DeviceAnswer::CheckCondition:
      header.ScsiStatus = SCSI_STATUS_CHECK_CONDITION;
      std::memcpy(sense, SENSE_INVALID_OPCODE,
                  std::min<size_t>(header.SenseInfoLength, sizeof SENSE_INVALID_OPCODE));
      return true;  // the call itself went through; the status tells the story
    case DeviceAnswer::Gone:
      break;
  }
  return false;
}

void EmulatedPassThroughPort::Close(DeviceHandle device) {
  PortCall call;
  call.kind = PortCallKind::Close;
  call.handle = device;
  const auto entry = open_.find(device);
  if (entry == open_.end()) {
    ++badCloses_;
  } else {
    call.path = entry->second->path;
    call.result = true;
    open_.erase(entry);
  }
  calls_.push_back(call);
}

void EmulatedPassThroughPort::Sleep(uint32_t milliseconds) {
  PortCall call;
  call.kind = PortCallKind::Sleep;
  call.milliseconds = milliseconds;
  call.result = true;
  calls_.push_back(call);
}

std::vector<PortCall> EmulatedPassThroughPort::CallsOf(PortCallKind kind) const {
  std::vector<PortCall> matching;
  for (const PortCall& call : calls_) {
    if (call.kind == kind) matching.push_back(call);
  }
  return matching;
}

std::vector<std::string> EmulatedPassThroughPort::OpenPaths() const {
  std::vector<std::string> paths;
  for (const auto& [handle, device] : open_) paths.push_back(device->path);
  return paths;
}

std::unique_ptr<EmulatedPassThroughPort> MakeSingleBridgePassThrough() {
  auto port = std::make_unique<EmulatedPassThroughPort>();
  port->AddBridge(InterfaceClass::Disk);
  return port;
}

}  // namespace zq
