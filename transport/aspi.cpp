#include "transport/aspi.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace zq {

// One command's request block with its data buffer and event. Heap-held so
// that a request the layer still owns can outlive the call that sent it.
struct AspiRequest {
  SrbExecScsiCmd block{};
  uint8_t data[BLOCK_SIZE]{};
  AspiEvent event = nullptr;
};

namespace {

constexpr uint8_t FLAGS_IN = SRB_DIR_IN | SRB_EVENT_NOTIFY;
constexpr uint8_t FLAGS_OUT = SRB_DIR_OUT | SRB_EVENT_NOTIFY;

// Requests the layer never finished, even at the transport's end. Handing
// their memory back would let the layer write into whatever comes next, so
// they stay reachable here for the rest of the process.
std::vector<std::unique_ptr<AspiRequest>>& Abandoned() {
  static auto* abandoned = new std::vector<std::unique_ptr<AspiRequest>>();
  return *abandoned;
}

// The layer writes the status from its own context; read it afresh.
uint8_t ReadStatus(const AspiRequest& request) {
  return *static_cast<const volatile uint8_t*>(&request.block.SRB_Status);
}

}  // namespace

AspiTransport::AspiTransport(AspiLayer& layer) : layer_(layer) {}

AspiTransport::~AspiTransport() {
  ReapFinished();
  // a request still unfinished stays the layer's; waiting for it again would
  // only keep the process alive after its window is gone
  for (auto& request : parked_) Abandoned().push_back(std::move(request));
}

void AspiTransport::Release(std::unique_ptr<AspiRequest> request) {
  layer_.CloseEvent(request->event);
  request.reset();
}

void AspiTransport::ReapFinished() {
  size_t kept = 0;
  for (auto& request : parked_) {
    // the layer signals the event as its last act on a request
    if (layer_.WaitForEvent(request->event, 0)) {
      Release(std::move(request));
    } else {
      parked_[kept++] = std::move(request);
    }
  }
  parked_.resize(kept);
}

Carried AspiTransport::Carry(uint8_t hostAdapter, uint8_t target, const Cdb& cdb,
                             CarryDirection direction, uint8_t* buffer, uint32_t length) {
  ReapFinished();
  if (length > BLOCK_SIZE || (length != 0 && buffer == nullptr)) return Carried::NotSent;

  std::unique_ptr<AspiRequest> request(new (std::nothrow) AspiRequest());
  if (!request) return Carried::NotSent;
  const bool sending = direction == CarryDirection::Out;
  // a read starts from the caller's bytes: the layer says nothing of how
  // many came, so those it never delivers must stay what they were
  if (length != 0) std::memcpy(request->data, buffer, length);

  request->event = layer_.MakeEvent();
  if (request->event == nullptr) return Carried::NotSent;

  SrbExecScsiCmd& block = request->block;
  block.SRB_Cmd = SC_EXEC_SCSI_CMD;
  block.SRB_HaId = hostAdapter;
  block.SRB_Flags = sending ? FLAGS_OUT : FLAGS_IN;
  block.SRB_Target = target;
  block.SRB_Lun = 0;
  block.SRB_BufLen = length;
  // the erase moves no data and goes out without a buffer
  block.SRB_BufPointer = length != 0 ? request->data : nullptr;
  block.SRB_SenseLen = SENSE_LEN;
  block.SRB_CDBLen = ASPI_CDB_LENGTH;
  block.SRB_PostProc = request->event;
  std::memcpy(block.CDBByte, cdb.data(), cdb.size());

  layer_.ResetEvent(request->event);
  layer_.SendASPI32Command(&block);

  // when the wait runs out the status decides: a layer may finish without
  // signalling, or just as the time ends
  if (ReadStatus(*request) == SS_PENDING && !layer_.WaitForEvent(request->event, ASPI_WAIT_MS) &&
      ReadStatus(*request) == SS_PENDING) {
    // still the layer's: it may complete the request later and write into
    // the block and buffer, so keep both until it signals the event
    parked_.push_back(std::move(request));
    return Carried::Failed;
  }

  const bool succeeded = AspiCommandSucceeded(ReadStatus(*request));
  if (succeeded && !sending && length != 0) std::memcpy(buffer, request->data, length);
  Release(std::move(request));
  return succeeded ? Carried::Succeeded : Carried::Failed;
}

void AspiTransport::Scan(uint16_t vendorId, uint16_t productId, bool firstOnly, ChipInfo& record,
                         std::vector<std::unique_ptr<Bridge>>& found) {
  const uint32_t support = layer_.GetASPI32SupportInfo();
  const uint8_t status = static_cast<uint8_t>((support >> 8) & 0xFF);
  const uint8_t adapters = static_cast<uint8_t>(support & 0xFF);
  if (status != SS_COMP) return;

  for (uint32_t a = 0; a < adapters; ++a) {
    // every target ID is asked, the adapter's own included
    for (uint8_t t = 0; t < ASPI_TARGETS_PER_ADAPTER; ++t) {
      const uint8_t adapter = static_cast<uint8_t>(a);
      if (ReadChipInfo(adapter, t, record) && MatchesIdentity(record, vendorId, productId)) {
        found.push_back(std::make_unique<AspiBridge>(*this, adapter, t, record));
        if (firstOnly) return;
      }
    }
  }
}

std::unique_ptr<Bridge> AspiTransport::FindBridge(uint16_t vendorId, uint16_t productId,
                                                  ChipInfo& chipInfo) {
  std::vector<std::unique_ptr<Bridge>> found;
  Scan(vendorId, productId, true, chipInfo, found);
  return found.empty() ? nullptr : std::move(found.front());
}

std::vector<std::unique_ptr<Bridge>> AspiTransport::FindBridges(uint16_t vendorId,
                                                                uint16_t productId) {
  std::vector<std::unique_ptr<Bridge>> found;
  ChipInfo record;
  Scan(vendorId, productId, false, record, found);
  return found;
}

bool AspiTransport::ReadChipInfo(uint8_t hostAdapter, uint8_t target, ChipInfo& info) {
  uint8_t record[CHIP_INFO_RECORD_SIZE] = {};
  if (Carry(hostAdapter, target, EncodeGetInfo(), CarryDirection::In, record,
            CHIP_INFO_RECORD_SIZE) != Carried::Succeeded) {
    return false;
  }
  info = DecodeChipInfo(record);
  return true;
}

namespace {

std::string AdapterTargetName(uint8_t hostAdapter, uint8_t target) {
  return "adapter " + std::to_string(hostAdapter) + ", target " + std::to_string(target);
}

}  // namespace

AspiBridge::AspiBridge(AspiTransport& transport, uint8_t hostAdapter, uint8_t target,
                       const ChipInfo& info)
    : Bridge(AdapterTargetName(hostAdapter, target), info),
      transport_(transport),
      hostAdapter_(hostAdapter),
      target_(target) {}

Carried AspiBridge::Carry(const Cdb& cdb, CarryDirection direction, uint8_t* buffer,
                          uint32_t length) {
  return transport_.Carry(hostAdapter_, target_, cdb, direction, buffer, length);
}

}  // namespace zq
