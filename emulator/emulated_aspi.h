// The ASPI for Win32 layer played in memory: host adapters with empty
// targets, ordinary devices and bridges, requests completed at once, later
// or never, and events that tests can count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "emulator/bridge_device.h"
#include "transport/aspi.h"

namespace zq {

constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t HASTAT_SEL_TO = 0x11;  // selection time-out: nobody answered

// Carries one execute-SCSI request to a bridge and fills in its outcome
// (SRB_HaStat, SRB_TargStat); returns the SRB_Status to report. Shared with
// the emulated DLL.
uint8_t ServeOnBridge(BridgeDevice& bridge, SrbExecScsiCmd& request);
// Fills in a host adapter inquiry as a layer with `adapters` adapters, each
// addressing `targets` targets, answers it; returns the SRB_Status.
uint8_t AnswerHaInquiry(SrbHaInquiry& request, uint8_t adapters, uint8_t targets);

enum class AspiTargetKind {
  Empty,     // no device: the request fails
  Ordinary,  // a disk that rejects the vendor opcodes
  Bridge,
};

enum class AspiCompletion {
  AtOnce,  // inside SendASPI32Command
  AtWait,  // left pending, completed when the caller waits on its event
  Late,    // left pending through the wait; completed by CompleteLate()
  Never,
  Unsignalled,   // completed while the caller waits, but its event never signalled
  UntilAborted,  // left pending until an abort ends it (SS_ABORTED, event signalled)
};

struct AspiRequestRecord {
  uint8_t hostAdapter;
  uint8_t target;
  uint8_t lun;
  uint8_t flags;
  uint32_t bufferLength;
  bool hasBuffer;
  uint8_t senseLength;
  uint8_t cdbLength;
  std::vector<uint8_t> cdb;  // the declared bytes, at most 16
  bool cdbTailClear;         // CDBByte past the declared bytes all zero
  bool postProcIsEvent;      // SRB_PostProc names an open event of this layer
  bool inputClear;           // status, reserved fields and sense area zero on the way in
  AspiCompletion completion;
};

// A request block of another kind than execute-SCSI.
struct AspiOtherRecord {
  uint8_t command;  // SC_HA_INQUIRY, SC_GET_DEV_TYPE or SC_ABORT_SRB
  uint8_t hostAdapter;
  uint8_t target;  // SC_GET_DEV_TYPE
  uint8_t lun;     // SC_GET_DEV_TYPE
  // SC_ABORT_SRB: the number (from 1) of the execute-SCSI request named; 0
  // when it names none still pending
  uint32_t aborted;
  bool inputClear;  // status and reserved fields zero on the way in
};

class EmulatedAspiLayer final : public AspiLayer {
 public:
  EmulatedAspiLayer() = default;
  ~EmulatedAspiLayer() override = default;

  // One adapter with `bridge` at target 0, completed at the wait: the set-up
  // behind the command line's emulated ASPI transport.
  void UseDefaultSetup(BridgeDevice& bridge);

  void SetSupportStatus(uint8_t status) { supportStatus_ = status; }
  void SetHostAdapterCount(uint8_t count) { adapters_ = count; }
  // Targets not set are empty.
  void SetTarget(uint8_t hostAdapter, uint8_t target, AspiTargetKind kind,
                 BridgeDevice* bridge = nullptr);
  // The peripheral type a target reports; a disk unless set.
  void SetDeviceType(uint8_t hostAdapter, uint8_t target, uint8_t deviceType);
  // Targets each adapter says it addresses (0: it leaves that unsaid).
  void SetTargetsPerAdapter(uint8_t targets) { targetsPerAdapter_ = targets; }
  // Every request block of the given kind is refused with `status`.
  void RefuseCommand(uint8_t command, uint8_t status) { refusedCommands_[command] = status; }
  // The Nth execute-SCSI request (counting from 1) is not taken: the entry
  // point returns `status` and leaves the block as it was.
  void RejectRequest(uint32_t nth, uint8_t status) { rejectedRequests_[nth] = status; }

  void SetCompletion(AspiCompletion mode) { completion_ = mode; }
  // The next requests complete in these ways, in order; then the default.
  void ScriptCompletions(std::initializer_list<AspiCompletion> modes);
  // The Nth request (counting from 1) ends with `status` without reaching
  // its device.
  void FailRequest(uint32_t nth, uint8_t status) { failingRequests_[nth] = status; }
  // The Nth event creation (counting from 1) fails.
  void FailEventCreation(uint32_t nth) { failingEvents_.insert(nth); }
  void FailEveryEventCreation(bool fail) { failEveryEvent_ = fail; }

  // Completes the requests left for later: writes their data and status
  // into the caller's block and buffer and signals their events.
  size_t CompleteLate();
  // Completes every pending request, even those meant never to finish.
  size_t CompleteAll();
  size_t PendingRequests() const { return pending_.size(); }

  const std::vector<AspiRequestRecord>& Requests() const { return requests_; }
  const std::vector<AspiOtherRecord>& OtherRequests() const { return others_; }
  uint32_t EventsCreated() const { return eventsCreated_; }
  uint32_t EventsClosed() const { return eventsClosed_; }
  size_t OpenEvents() const;
  // Resets, waits or closes of a handle that is not an open event.
  uint32_t BadEventUses() const { return badEventUses_; }
  // The time-out of every wait, in order (0 for a look).
  const std::vector<uint32_t>& Waits() const { return waits_; }
  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }

  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(SrbExecScsiCmd* request) override;
  uint32_t InquireHostAdapter(SrbHaInquiry* request) override;
  uint32_t GetDeviceType(SrbGetDevType* request) override;
  uint32_t AbortRequest(SrbAbort* request) override;
  AspiEvent MakeEvent() override;
  void ResetEvent(AspiEvent event) override;
  bool WaitForEvent(AspiEvent event, uint32_t milliseconds) override;
  void CloseEvent(AspiEvent event) override;
  void Sleep(uint32_t milliseconds) override { sleeps_.push_back(milliseconds); }

 private:
  struct Slot {
    AspiTargetKind kind = AspiTargetKind::Empty;
    BridgeDevice* bridge = nullptr;
    uint8_t deviceType = DTYPE_DASD;
  };
  struct Pending {
    SrbExecScsiCmd* request;
    AspiCompletion mode;
    std::optional<uint8_t> forcedStatus;
    uint32_t number;  // counting requests taken from 1
  };

  void Complete(SrbExecScsiCmd& request, std::optional<uint8_t> forcedStatus, bool signal = true);
  uint8_t Serve(SrbExecScsiCmd& request);
  bool IsOpen(AspiEvent event) const;

  uint8_t supportStatus_ = SS_COMP;
  uint8_t adapters_ = 0;
  uint8_t targetsPerAdapter_ = ASPI_TARGETS_PER_ADAPTER;
  std::map<uint8_t, uint8_t> refusedCommands_;
  std::map<uint32_t, uint8_t> rejectedRequests_;
  std::vector<AspiOtherRecord> others_;
  std::map<uint16_t, Slot> slots_;
  AspiCompletion completion_ = AspiCompletion::AtOnce;
  std::deque<AspiCompletion> script_;
  std::map<uint32_t, uint8_t> failingRequests_;
  std::set<uint32_t> failingEvents_;
  bool failEveryEvent_ = false;
  std::vector<Pending> pending_;

  std::map<uintptr_t, bool> events_;  // open events and whether signalled
  uintptr_t nextEvent_ = 0x100;
  uint32_t eventsCreated_ = 0;
  uint32_t eventsClosed_ = 0;
  uint32_t creationAttempts_ = 0;
  uint32_t badEventUses_ = 0;

  uint32_t requestsSent_ = 0;
  std::vector<AspiRequestRecord> requests_;
  std::vector<uint32_t> waits_;
  std::vector<uint32_t> sleeps_;
};

}  // namespace zq
