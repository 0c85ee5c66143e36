// Carrying the vendor commands through the ASPI for Win32 layer, and finding
// the bridge among its host adapters and targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/bridge.h"
#include "protocol/vendor_commands.h"

namespace zq {

// The layer's request codes and the statuses it hands back, as its header
// numbers them.
enum : uint8_t { SC_HA_INQUIRY, SC_GET_DEV_TYPE, SC_EXEC_SCSI_CMD, SC_ABORT_SRB };
enum : uint8_t {
  SS_PENDING = 0x00,
  SS_COMP = 0x01,
  SS_ABORTED = 0x02,
  SS_ERR = 0x04,
  SS_INVALID_CMD = 0x80,  // from here on the layer did not take the request
  SS_INVALID_HA = 0x81,
  SS_NO_DEVICE = 0x82,
};
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;
constexpr uint8_t SENSE_LEN = 14;
constexpr uint8_t ASPI_CDB_LENGTH = 11;  // the six CDB bytes and five zeros
constexpr uint8_t ASPI_TARGETS_PER_ADAPTER = 8;
constexpr uint32_t ASPI_WAIT_MS = 10000;
constexpr uint8_t ASPI_MOST_TARGETS = 16;  // wide adapters

// Peripheral device types that can be a bridge: its disk, its CD-ROM, and
// the kinds of storage some systems report in their place.
constexpr uint8_t DTYPE_DASD = 0x00;
constexpr uint8_t DTYPE_CDROM = 0x05;
constexpr uint8_t DTYPE_OPTI = 0x07;
constexpr uint8_t DTYPE_RBC = 0x0E;  // simplified direct-access

using AspiEvent = void*;  // the layer's event handle; null when none

#pragma pack(push, 1)
// The layer's execute-SCSI request block, byte-packed as the layer expects.
struct SrbExecScsiCmd {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint8_t* SRB_BufPointer;
  uint8_t SRB_SenseLen;
  uint8_t SRB_CDBLen;
  uint8_t SRB_HaStat;
  uint8_t SRB_TargStat;
  void* SRB_PostProc;
  uint8_t SRB_Rsvd2[20];
  uint8_t CDBByte[16];
  uint8_t SenseArea[SENSE_LEN + 2];
};
#pragma pack(pop)

// The published layout: 80 bytes with 32-bit pointers; the two pointer fields
// widen and push everything behind them on 64 bits.
static_assert(offsetof(SrbExecScsiCmd, SRB_Hdr_Rsvd) == 0x04);
static_assert(offsetof(SrbExecScsiCmd, SRB_Target) == 0x08);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufLen) == 0x0C);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufPointer) == 0x10);
struct ExecLayout {
  size_t senseLen, postProc, rsvd2, cdb, sense, size;
};
constexpr ExecLayout EXEC_LAYOUT = sizeof(void*) == 4
                                       ? ExecLayout{0x14, 0x18, 0x1C, 0x30, 0x40, 80}
                                       : ExecLayout{0x18, 0x1C, 0x24, 0x38, 0x48, 88};
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == EXEC_LAYOUT.senseLen &&
              offsetof(SrbExecScsiCmd, SRB_PostProc) == EXEC_LAYOUT.postProc &&
              offsetof(SrbExecScsiCmd, SRB_Rsvd2) == EXEC_LAYOUT.rsvd2 &&
              offsetof(SrbExecScsiCmd, CDBByte) == EXEC_LAYOUT.cdb &&
              offsetof(SrbExecScsiCmd, SenseArea) == EXEC_LAYOUT.sense &&
              sizeof(SrbExecScsiCmd) == EXEC_LAYOUT.size);

#pragma pack(push, 1)
// The eight bytes every other request block starts with.
struct SrbHeader {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
};

// The host adapter inquiry, answered at once.
struct SrbHaInquiry {
  SrbHeader header;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];  // byte 3: targets the adapter addresses (0: eight)
  uint16_t HA_Rsvd1;
};

// The device type at one target and unit, answered at once.
struct SrbGetDevType {
  SrbHeader header;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DeviceType;
  uint8_t SRB_Rsvd1;
};

// Asks the layer to end a request it still holds.
struct SrbAbort {
  SrbHeader header;
  void* SRB_ToAbort;
};
#pragma pack(pop)

static_assert(sizeof(SrbHeader) == 8 && offsetof(SrbHeader, SRB_Hdr_Rsvd) == 0x04);
static_assert(offsetof(SrbHaInquiry, HA_Count) == 0x08 &&
              offsetof(SrbHaInquiry, HA_ManagerId) == 0x0A &&
              offsetof(SrbHaInquiry, HA_Identifier) == 0x1A &&
              offsetof(SrbHaInquiry, HA_Unique) == 0x2A && sizeof(SrbHaInquiry) == 60);
static_assert(offsetof(SrbGetDevType, SRB_Target) == 0x08 &&
              offsetof(SrbGetDevType, SRB_DeviceType) == 0x0A && sizeof(SrbGetDevType) == 12);
static_assert(offsetof(SrbAbort, SRB_ToAbort) == 0x08);
static_assert(sizeof(void*) != 4 || sizeof(SrbAbort) == 12);
static_assert(sizeof(void*) != 8 || sizeof(SrbAbort) == 16);

// The ASPI entry points and the event and wait calls a request needs. The
// entry point takes every kind of request block; each kind has its own call.
class AspiLayer {
 public:
  virtual ~AspiLayer() = default;
  virtual uint32_t GetASPI32SupportInfo() = 0;
  virtual uint32_t SendASPI32Command(SrbExecScsiCmd* request) = 0;
  // A layer that knows only execute-SCSI requests refuses these.
  virtual uint32_t InquireHostAdapter(SrbHaInquiry* request);
  virtual uint32_t GetDeviceType(SrbGetDevType* request);
  virtual uint32_t AbortRequest(SrbAbort* request);
  // Manual reset, not signalled; null when it cannot be made.
  virtual AspiEvent MakeEvent() = 0;
  virtual void ResetEvent(AspiEvent event) = 0;
  // True when the event is signalled within the time (0 only looks).
  virtual bool WaitForEvent(AspiEvent event, uint32_t milliseconds) = 0;
  virtual void CloseEvent(AspiEvent event) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// Whether a device of this peripheral type may be a bridge.
bool MayBeBridge(uint8_t deviceType);

// Where a device sits on the layer.
struct AspiAddress {
  uint8_t hostAdapter = 0;
  uint8_t target = 0;
  bool operator==(const AspiAddress&) const = default;
};

// "adapter 0, target 1": how an ASPI bridge is named.
std::string AdapterTargetName(uint8_t hostAdapter, uint8_t target);
// That name in any letter case and spacing, or "0:1"; false for anything else.
bool ParseAdapterTarget(std::string_view text, AspiAddress& address);

struct AspiRequest;

class AspiTransport {
 public:
  explicit AspiTransport(AspiLayer& layer);
  // Releases the requests the layer has finished; the rest stay the layer's
  // for the rest of the process, without another wait.
  ~AspiTransport();
  AspiTransport(const AspiTransport&) = delete;
  AspiTransport& operator=(const AspiTransport&) = delete;

  // Host adapters in order, targets 0 to 7, logical unit 0; the first match
  // wins and comes back bound; null when there is none. Every device that
  // answers overwrites `chipInfo`.
  std::unique_ptr<Bridge> FindBridge(uint16_t vendorId, uint16_t productId, ChipInfo& chipInfo);
  // Every target that answers with both IDs, bound.
  std::vector<std::unique_ptr<Bridge>> FindBridges(uint16_t vendorId, uint16_t productId);
  // Every bridge, asking each adapter how many targets it has and each
  // target what it holds first: the vendor command goes only to disks,
  // CD-ROMs and optical or simplified direct-access devices.
  // With `only`, nothing is sent to any other target.
  std::vector<std::unique_ptr<Bridge>> FindBridgesByType(
      uint16_t vendorId, uint16_t productId, const std::vector<AspiAddress>* only = nullptr);
  bool ReadChipInfo(uint8_t hostAdapter, uint8_t target, ChipInfo& info);

  // One request of its own, as Bridge::Carry describes.
  Carried Carry(uint8_t hostAdapter, uint8_t target, const Cdb& cdb, CarryDirection direction,
                uint8_t* buffer, uint32_t length);
  void Sleep(uint32_t milliseconds) { layer_.Sleep(milliseconds); }

  // Requests whose wait ran out and that the layer has not finished yet.
  size_t PendingRequests() const { return parked_.size(); }

 private:
  // Keeps each target that answers with both IDs in `found` (the first only,
  // when `firstOnly`); every answer lands in `record`.
  void Scan(uint16_t vendorId, uint16_t productId, bool firstOnly, ChipInfo& record,
            std::vector<std::unique_ptr<Bridge>>& found);
  // Adapters the layer reports; 0 when it is not usable.
  uint8_t HostAdapters();
  // Keeps the bridge at this target, if it is one; true when it is.
  bool Probe(uint8_t hostAdapter, uint8_t target, uint16_t vendorId, uint16_t productId,
             ChipInfo& record, std::vector<std::unique_ptr<Bridge>>& found);
  // Targets the adapter addresses; 0 when it does not answer.
  uint8_t TargetsOf(uint8_t hostAdapter);
  bool DeviceTypeAt(uint8_t hostAdapter, uint8_t target, uint8_t& deviceType);
  // Asks the layer to end a request whose wait ran out; true once it has.
  bool Abort(AspiRequest& request);
  void ReapFinished();
  void Release(std::unique_ptr<AspiRequest> request);

  AspiLayer& layer_;
  // Requests still owned by the layer after their wait ran out: it may yet
  // write into them, so they live until it signals their event.
  std::vector<std::unique_ptr<AspiRequest>> parked_;
};

// A bridge at one host adapter and target; the transport outlives it.
class AspiBridge final : public Bridge {
 public:
  AspiBridge(AspiTransport& transport, uint8_t hostAdapter, uint8_t target, const ChipInfo& info);

  Carried Carry(const Cdb& cdb, CarryDirection direction, uint8_t* buffer,
                uint32_t length) override;
  // the layer reports no residual count
  bool SeesShortTransfers() const override { return false; }
  void Sleep(uint32_t milliseconds) override { transport_.Sleep(milliseconds); }
  uint8_t HostAdapter() const { return hostAdapter_; }
  uint8_t Target() const { return target_; }

 private:
  AspiTransport& transport_;
  uint8_t hostAdapter_;
  uint8_t target_;
};

}  // namespace zq
