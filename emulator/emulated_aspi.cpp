#include "emulator/emulated_aspi.h"

#include <algorithm>

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
  slots_[SlotKey(hostAdapter, target)] = Slot{kind, bridge};
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

  std::optional<uint8_t> forcedStatus;
  const auto failing = failingRequests_.find(++requestsSent_);
  if (failing != failingRequests_.end()) forcedStatus = failing->second;

  request->SRB_Status = SS_PENDING;
  if (mode == AspiCompletion::AtOnce) {
    Complete(*request, forcedStatus);
  } else {
    pending_.push_back(Pending{request, mode, forcedStatus});
  }
  return request->SRB_Status;
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
