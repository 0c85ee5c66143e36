// A pass-through port over emulated disk and CD-ROM devices: bridges,
// ordinary disks and awkward devices, checked like a driver would and with
// every call recorded.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/bridge_device.h"
#include "transport/pass_through.h"

namespace zq {

// How one listed interface behaves.
struct EmulatedDevice {
  InterfaceClass cls = InterfaceClass::Disk;
  std::string path;
  BridgeDevice* chip = nullptr;           // answers the vendor commands; null: an ordinary disk
  bool opens = true;                      // false: access denied, or held open elsewhere
  uint8_t goodStatus = SCSI_STATUS_GOOD;  // ScsiStatus of an accepted command
  bool controlFails = false;              // every control call fails
  std::optional<uint8_t> controlFailsOn;  // the control call fails for this opcode only
};

// The two steps of listing one interface that can fail.
enum class ListFault {
  SizeQuery,  // the size query fails with a reason other than "insufficient buffer"
  Detail,     // the detail call fails
};

enum class PortCallKind { List, ListStep, ListRelease, Open, Control, Close, Sleep };

struct PortCall {
  PortCallKind kind = PortCallKind::List;
  InterfaceClass cls = InterfaceClass::Disk;
  uint32_t memberIndex = 0;                     // ListStep
  ListStep step = ListStep::End;                // ListStep
  std::optional<ListFault> fault;               // ListStep that failed
  std::string path;                             // ListStep, Open, Control, Close
  DeviceHandle handle = INVALID_DEVICE_HANDLE;  // Open, Control, Close
  uint32_t inputSize = 0;                       // Control
  uint32_t outputSize = 0;                      // Control
  ScsiPassThroughHeader header{};               // Control: as handed in
  std::vector<uint8_t> dataOut;                 // Control: the bytes a sending command carried
  bool zeroedOnEntry = false;  // Control: everything outside header and data sent was zero
  bool accepted = false;       // Control: passed the driver's checks and reached the device
  uint8_t scsiStatus = 0;      // Control: as handed back
  bool result = false;         // List, Open, Control, Close succeeded; ListStep found a path
  uint32_t milliseconds = 0;   // Sleep

  Cdb CdbSent() const;
};

class EmulatedPassThroughPort final : public PassThroughPort {
 public:
  EmulatedPassThroughPort();
  ~EmulatedPassThroughPort() override;
  EmulatedPassThroughPort(const EmulatedPassThroughPort&) = delete;
  EmulatedPassThroughPort& operator=(const EmulatedPassThroughPort&) = delete;

  // Devices are listed per class in the order they are added.
  EmulatedDevice& AddBridge(InterfaceClass cls);  // with a chip of its own
  EmulatedDevice& AddBridge(InterfaceClass cls, BridgeDevice& chip);
  // With a path of its own instead of the numbered interface path.
  EmulatedDevice& AddBridge(InterfaceClass cls, BridgeDevice& chip, const std::string& path);
  // A chip that answers with this record, e.g. other or swapped IDs.
  EmulatedDevice& AddDeviceWithRecord(InterfaceClass cls,
                                      const std::array<uint8_t, CHIP_INFO_RECORD_SIZE>& record);
  // Rejects the vendor opcodes with a check condition.
  EmulatedDevice& AddOrdinaryDisk(InterfaceClass cls);
  EmulatedDevice& AddUnopenable(InterfaceClass cls);

  void FailListing(InterfaceClass cls, uint32_t memberIndex, ListFault fault);
  void MakeListUnavailable(InterfaceClass cls);

  // PassThroughPort
  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override;
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override;

  const std::vector<PortCall>& Calls() const { return calls_; }
  std::vector<PortCall> CallsOf(PortCallKind kind) const;
  void ClearCalls() { calls_.clear(); }
  // Paths of the devices open right now, in the order they were opened.
  std::vector<std::string> OpenPaths() const;
  uint32_t ListsAlive() const { return listsAlive_; }
  // Closes of a handle that was not open; a correct user makes none.
  uint32_t BadCloses() const { return badCloses_; }
  // The device listed under this path, or null.
  EmulatedDevice* Find(const std::string& path);
  // The chip of the first bridge added; null when there is none.
  BridgeDevice* FirstBridge() { return firstBridge_; }

 private:
  class List;
  friend class List;

  EmulatedDevice& Add(InterfaceClass cls, BridgeDevice* chip);
  ListStep Step(InterfaceClass cls, uint32_t memberIndex, std::string& path);
  void ListReleased(InterfaceClass cls);
  // The device's part once the driver has accepted the block.
  bool Carry(EmulatedDevice& device, PassThroughBuffer& buffer);

  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
  std::vector<std::unique_ptr<BridgeDevice>> ownedChips_;
  BridgeDevice* firstBridge_ = nullptr;
  std::map<std::pair<int, uint32_t>, ListFault> listFaults_;
  bool listUnavailable_[2] = {false, false};
  // handles only grow, so this order is the order of opening
  std::map<DeviceHandle, EmulatedDevice*> open_;
  DeviceHandle nextHandle_ = 0x100;
  uint32_t listsAlive_ = 0;
  uint32_t badCloses_ = 0;
  std::vector<PortCall> calls_;
};

// The emulated Windows program's path: one bridge as the only disk.
std::unique_ptr<EmulatedPassThroughPort> MakeSingleBridgePassThrough();

}  // namespace zq
