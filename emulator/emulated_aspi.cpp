#include "emulator/emulated_aspi.h"

#include <algorithm>
#include <iterator>

namespace zq {
namespace {

constexpr size_t MAX_CDB_BYTES = sizeof(SrbExecScsiCmd::CDBByte);

bool AllZero(const uint8_t* bytes, size_t count) {
  return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0; });
}

uint16_t SlotKey(uint8_t hostAdapter, uint8_t target) {
  return static_cast<uint16_t>(hostAdapter << 8 | target);
}

AspiEvent ToHandle(uintptr_t id) {
  return reinterpret_cast<AspiEvent>(id);
}

uintptr_t ToId(AspiEvent event) {
  return reinterpret_cast<uintptr_t>(event);
}

}  // namespace

uint8_t ServeOnBridge(BridgeDevice& bridge, SrbExecScsiCmd& request) {
  if (request.SRB_Cmd != SC_EXEC_SCSI_CMD) return SS_INVALID_CMD;
  const uint8_t direction = request.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  if (direction == (SRB_DIR_IN | SRB_DIR_OUT)) return SS_INVALID_SRB;
  if (request.SRB_CDBLen == 0 || request.SRB_CDBLen > MAX_CDB_BYTES) return SS_INVALID_SRB;
  if (request.SRB_BufLen != 0 && request.SRB_BufPointer == nullptr) return SS_INVALID_SRB;

  DataDirection dataDirection = DataDirection::None;
  if (direction == SRB_DIR_IN) dataDirection = DataDirection::In;
  if (direction == SRB_DIR_OUT) dataDirection = DataDirection::Out;

  const DeviceAnswer answer = bridge.Execute(request.CDBByte, request.SRB_CDBLen, dataDirection,
                                             request.SRB_BufPointer, request.SRB_BufLen);
  switch (answer) {
    case DeviceAnswer::Good:
      request.SRB_TargStat = SCSI_STATUS_GOOD;
      return SS_COMP;
    case DeviceAnswer::CheckCondition:
      request.SRB_TargStat = SCSI_STATUS_CHECK_CONDITION;
      return SS_ERR;
    case DeviceAnswer::Gone:
      break;
  }
  request.SRB_HaStat = HASTAT_SEL_TO;
  return SS_ERR;
}

uint8_t AnswerHaInquiry(SrbHaInquiry& request, uint8_t adapters, uint8_t targets) {
  if (request.header.SRB_Cmd != SC_HA_INQUIRY) return SS_INVALID_CMD;
  if (request.header.SRB_HaId >= adapters) return SS_INVALID_HA;
  constexpr uint8_t ADAPTER_OWN_ID = 7;
  constexpr char MANAGER[] = "ASPI for WIN32";
  constexpr char IDENTIFIER[] = "EMULATED";
  request.HA_Count = adapters;
  request.HA_SCSI_ID = ADAPTER_OWN_ID;
  std::fill(std::begin(request.HA_ManagerId), std::end(request.HA_ManagerId), ' ');
  std::copy(MANAGER, MANAGER + sizeof MANAGER - 1, request.HA_ManagerId);
  std::fill(std::begin(request.HA_Identifier), std::end(request.HA_Identifier), ' ');
  std::copy(IDENTIFIER, IDENTIFIER + sizeof IDENTIFIER - 1, request.HA_Identifier);
  std::fill(std::begin(request.HA_Unique), std::end(request.HA_Unique), 0);
  request.HA_Unique[3] = targets;
  return SS_COMP;
}

void EmulatedAspiLayer::UseDefaultSetup(BridgeDevice& bridge) {
  supportStatus_ = SS_COMP;
  adapters_ = 1;
  slots_.clear();
  SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  completion_ = AspiCompletion::AtWait;
}

void EmulatedAspiLayer::SetTarget(uint8_t hostAdapter, uint8_t target, AspiTargetKind kind,
                                  BridgeDevice* bridge) {
  // a bridge slot without a device is just an empty one
  if (kind == AspiTargetKind::Bridge && bridge == nullptr) kind = AspiTargetKind::Empty;
  Slot& slot = slots_[SlotKey(hostAdapter, target)];
  slot.kind = kind;
  slot.bridge = bridge;
}

void EmulatedAspiLayer::SetDeviceType(uint8_t hostAdapter, uint8_t target, uint8_t deviceType) {
  slots_[SlotKey(hostAdapter, target)].deviceType = deviceType;
}

void EmulatedAspiLayer::ScriptCompletions(std::initializer_list<AspiCompletion> modes) {
  script_.insert(script_.end(), modes.begin(), modes.end());
}

uint32_t EmulatedAspiLayer::GetASPI32SupportInfo() {
  return static_cast<uint32_t>(supportStatus_) << 8 | adapters_;
}

bool EmulatedAspiLayer::IsOpen(AspiEvent event) const {
  return events_.count(ToId(event)) != 0;
}

size_t EmulatedAspiLayer::OpenEvents() const {
  return events_.size();
}

uint32_t EmulatedAspiLayer::SendASPI32Command(SrbExecScsiCmd* request) {
  if (request == nullptr) return SS_INVALID_SRB;

  AspiCompletion mode = completion_;
  if (!script_.empty()) {
    mode = script_.front();
    script_.pop_front();
  }

  AspiRequestRecord record{};
  record.hostAdapter = request->SRB_HaId;
  record.target = request->SRB_Target;
  record.lun = request->SRB_Lun;
  record.flags = request->SRB_Flags;
  record.bufferLength = request->SRB_BufLen;
  record.hasBuffer = request->SRB_BufPointer != nullptr;
  record.senseLength = request->SRB_SenseLen;
  record.cdbLength = request->SRB_CDBLen;
  const size_t declared = std::min<size_t>(request->SRB_CDBLen, MAX_CDB_BYTES);
  record.cdb.assign(request->CDBByte, request->CDBByte + declared);
  record.cdbTailClear = AllZero(request->CDBByte + declared, MAX_CDB_BYTES - declared);
  record.postProcIsEvent = IsOpen(request->SRB_PostProc);
  record.inputClear = request->SRB_Status == 0 && request->SRB_Hdr_Rsvd == 0 &&
                      request->SRB_Rsvd1 == 0 && request->SRB_HaStat == 0 &&
                      request->SRB_TargStat == 0 &&
                      AllZero(request->SRB_Rsvd2, sizeof(request->SRB_Rsvd2)) &&
                      AllZero(request->SenseArea, sizeof(request->SenseArea));
  record.completion = mode;
  requests_.push_back(record);

  const uint32_t number = ++requestsSent_;
  // not taken: the block stays as it came, and nothing will be posted
  const auto rejected = rejectedRequests_.find(number);
  if (rejected != rejectedRequests_.end()) return rejected->second;

  std::optional<uint8_t> forcedStatus;
  const auto failing = failingRequests_.find(number);
  if (failing != failingRequests_.end()) forcedStatus = failing->second;

  request->SRB_Status = SS_PENDING;
  if (mode == AspiCompletion::AtOnce) {
    Complete(*request, forcedStatus);
  } else {
    pending_.push_back(Pending{request, mode, forcedStatus, number});
  }
  return request->SRB_Status;
}

namespace {

bool HeaderClear(const SrbHeader& header) {
  return header.SRB_Status == 0 && header.SRB_Flags == 0 && header.SRB_Hdr_Rsvd == 0;
}

AspiOtherRecord RecordOf(const SrbHeader& header) {
  return AspiOtherRecord{header.SRB_Cmd, header.SRB_HaId, 0, 0, 0, HeaderClear(header)};
}

}  // namespace

uint32_t EmulatedAspiLayer::InquireHostAdapter(SrbHaInquiry* request) {
  if (request == nullptr) return SS_INVALID_SRB;
  others_.push_back(RecordOf(request->header));
  const auto refused = refusedCommands_.find(SC_HA_INQUIRY);
  request->header.SRB_Status = refused != refusedCommands_.end()
                                   ? refused->second
                                   : AnswerHaInquiry(*request, adapters_, targetsPerAdapter_);
  return request->header.SRB_Status;
}

uint32_t EmulatedAspiLayer::GetDeviceType(SrbGetDevType* request) {
  if (request == nullptr) return SS_INVALID_SRB;
  SrbHeader& header = request->header;
  AspiOtherRecord record = RecordOf(header);
  record.target = request->SRB_Target;
  record.lun = request->SRB_Lun;
  record.inputClear = record.inputClear && request->SRB_Rsvd1 == 0;
  others_.push_back(record);
  const auto refused = refusedCommands_.find(SC_GET_DEV_TYPE);
  const auto slot = slots_.find(SlotKey(header.SRB_HaId, request->SRB_Target));
  if (refused != refusedCommands_.end()) {
    header.SRB_Status = refused->second;
  } else if (header.SRB_Cmd != SC_GET_DEV_TYPE) {
    header.SRB_Status = SS_INVALID_CMD;
  } else if (header.SRB_HaId >= adapters_) {
    header.SRB_Status = SS_INVALID_HA;
  } else if (request->SRB_Lun != 0 || slot == slots_.end() ||
             slot->second.kind == AspiTargetKind::Empty) {
    header.SRB_Status = SS_NO_DEVICE;
  } else {
    request->SRB_DeviceType = slot->second.deviceType;
    header.SRB_Status = SS_COMP;
  }
  return header.SRB_Status;
}

uint32_t EmulatedAspiLayer::AbortRequest(SrbAbort* request) {
  if (request == nullptr) return SS_INVALID_SRB;
  SrbHeader& header = request->header;
  AspiOtherRecord record = RecordOf(header);
  const auto named = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
    return static_cast<void*>(p.request) == request->SRB_ToAbort;
  });
  if (named != pending_.end()) record.aborted = named->number;
  others_.push_back(record);

  const auto refused = refusedCommands_.find(SC_ABORT_SRB);
  if (refused != refusedCommands_.end()) {
    header.SRB_Status = refused->second;
    return header.SRB_Status;
  }
  if (header.SRB_Cmd != SC_ABORT_SRB) {
    header.SRB_Status = SS_INVALID_CMD;
    return header.SRB_Status;
  }
  // only a request meant to wait for its abort gives way; the others are
  // past stopping and finish as they would have
  if (named != pending_.end() && named->mode == AspiCompletion::UntilAborted) {
    const Pending aborted = *named;
    pending_.erase(named);
    Complete(*aborted.request, SS_ABORTED);
  }
  // the abort itself always completes
  header.SRB_Status = SS_COMP;
  return SS_COMP;
}

uint8_t EmulatedAspiLayer::Serve(SrbExecScsiCmd& request) {
  if (request.SRB_HaId >= adapters_) return SS_INVALID_HA;
  const auto slot = slots_.find(SlotKey(request.SRB_HaId, request.SRB_Target));
  if (request.SRB_Lun != 0 || slot == slots_.end() || slot->second.kind == AspiTargetKind::Empty) {
    request.SRB_HaStat = HASTAT_SEL_TO;
    return SS_NO_DEVICE;
  }
  if (slot->second.kind == AspiTargetKind::Ordinary) {
    // an ordinary disk knows none of the vendor opcodes
    request.SRB_TargStat = SCSI_STATUS_CHECK_CONDITION;
    return SS_ERR;
  }
  return ServeOnBridge(*slot->second.bridge, request);
}

void EmulatedAspiLayer::Complete(SrbExecScsiCmd& request, std::optional<uint8_t> forcedStatus,
                                 bool signal) {
  const uint8_t status = forcedStatus.has_value() ? *forcedStatus : Serve(request);
  request.SRB_Status = status;
  if (signal && (request.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
    const auto event = events_.find(ToId(request.SRB_PostProc));
    if (event != events_.end()) {
      event->second = true;
    } else {
      ++badEventUses_;
    }
  }
}

size_t EmulatedAspiLayer::CompleteLate() {
  size_t completed = 0;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->mode == AspiCompletion::Late) {
      Complete(*it->request, it->forcedStatus);
      it = pending_.erase(it);
      ++completed;
    } else {
      ++it;
    }
  }
  return completed;
}

size_t EmulatedAspiLayer::CompleteAll() {
  std::vector<Pending> pending;
  pending.swap(pending_);
  for (const Pending& p : pending) Complete(*p.request, p.forcedStatus);
  return pending.size();
}

AspiEvent EmulatedAspiLayer::MakeEvent() {
  ++creationAttempts_;
  if (failEveryEvent_ || failingEvents_.count(creationAttempts_) != 0) return nullptr;
  const uintptr_t id = nextEvent_++;
  events_[id] = false;
  ++eventsCreated_;
  return ToHandle(id);
}

void EmulatedAspiLayer::ResetEvent(AspiEvent event) {
  const auto it = events_.find(ToId(event));
  if (it == events_.end()) {
    ++badEventUses_;
    return;
  }
  it->second = false;
}

bool EmulatedAspiLayer::WaitForEvent(AspiEvent event, uint32_t milliseconds) {
  waits_.push_back(milliseconds);
  if (!IsOpen(event)) {
    ++badEventUses_;
    return false;
  }
  // a request meant to finish while the caller waits does so now
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    const bool finishes =
        it->mode == AspiCompletion::AtWait || it->mode == AspiCompletion::Unsignalled;
    if (finishes && it->request->SRB_PostProc == event) {
      const Pending waited = *it;
      pending_.erase(it);
      Complete(*waited.request, waited.forcedStatus, waited.mode != AspiCompletion::Unsignalled);
      break;
    }
  }
  return events_[ToId(event)];
}

void EmulatedAspiLayer::CloseEvent(AspiEvent event) {
  const auto it = events_.find(ToId(event));
  if (it == events_.end()) {
    ++badEventUses_;
    return;
  }
  events_.erase(it);
  ++eventsClosed_;
}

}  // namespace zq
