// Carrying the vendor commands through the ASPI for Win32 layer, and finding
// the bridge among its host adapters and targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/vendor_commands.h"

namespace zq {

constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;
constexpr uint8_t SENSE_LEN = 14;
constexpr uint8_t ASPI_CDB_LENGTH = 11;  // the six CDB bytes and five zeros
constexpr uint32_t ASPI_WAIT_MS = 10000;

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

// The ASPI entry points and the event and wait calls a request needs.
class AspiLayer {
 public:
  virtual ~AspiLayer() = default;
  virtual uint32_t GetASPI32SupportInfo() = 0;
  virtual uint32_t SendASPI32Command(SrbExecScsiCmd* request) = 0;
  // Manual reset, not signalled; null when it cannot be created.
  virtual AspiEvent CreateEvent() = 0;
  virtual void ResetEvent(AspiEvent event) = 0;
  virtual void WaitForEvent(AspiEvent event, uint32_t milliseconds) = 0;
  virtual void CloseEvent(AspiEvent event) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

class AspiTransport {
 public:
  explicit AspiTransport(AspiLayer& layer);
  ~AspiTransport();
  AspiTransport(const AspiTransport&) = delete;
  AspiTransport& operator=(const AspiTransport&) = delete;

  // Host adapters in order, targets 0 to 7, logical unit 0; the first match
  // wins. Every device that answers overwrites `chipInfo`.
  bool FindBridge(uint16_t vendorId, uint16_t productId, uint8_t& hostAdapter, uint8_t& target,
                  ChipInfo& chipInfo);
  bool ReadChipInfo(uint8_t hostAdapter, uint8_t target, ChipInfo& info);
  bool QueryStatus(uint8_t hostAdapter, uint8_t target, uint8_t& status);
  bool EraseAndWait(uint8_t hostAdapter, uint8_t target, ProgressStepper& progress);
  bool WriteBlock(uint8_t hostAdapter, uint8_t target, uint32_t address, uint32_t length,
                  const uint8_t* data);
  bool ReadBlock(uint8_t hostAdapter, uint8_t target, uint32_t address, uint32_t length,
                 uint8_t* buffer);

 private:
  AspiLayer& layer_;
  // (the implementation keeps requests the layer still owns here)
};

}  // namespace zq
