#include "transport/aspi.h"

#include <algorithm>
#include <cctype>
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

namespace {

uint32_t RefuseUnknown(SrbHeader* header) {
  if (header != nullptr) header->SRB_Status = SS_INVALID_CMD;
  return SS_INVALID_CMD;
}

}  // namespace

uint32_t AspiLayer::InquireHostAdapter(SrbHaInquiry* request) {
  return RefuseUnknown(request != nullptr ? &request->header : nullptr);
}

uint32_t AspiLayer::GetDeviceType(SrbGetDevType* request) {
  return RefuseUnknown(request != nullptr ? &request->header : nullptr);
}

uint32_t AspiLayer::AbortRequest(SrbAbort* request) {
  return RefuseUnknown(request != nullptr ? &request->header : nullptr);
}

bool MayBeBridge(uint8_t deviceType) {
  // the top three bits stay clear only for a unit that is there
  switch (deviceType) {
    case DTYPE_DASD:
    case DTYPE_CDROM:
    case DTYPE_OPTI:
    case DTYPE_RBC:
      return true;
    default:
      return false;
  }
}

Carried AspiTransport::Carry(uint8_t hostAdapter, uint8_t target, const Cdb& cdb,
                             CarryDirection direction, uint8_t* buffer, uint32_t length) {
  ReapFinished();
  if (length > BLOCK_SIZE || (length != 0 && buffer == nullptr)) return Carried::NotSent;

  std::unique_ptr<AspiRequest> request(new (std::nothrow) AspiRequest());
  if (!request) return Carried::NotSent;
  // a read starts from the caller's bytes: the layer says nothing of how
  // many came, so those it never delivers must stay what they were
  if (length != 0) std::memcpy(request->data, buffer, length);

  request->event = layer_.MakeEvent();
  if (request->event == nullptr) return Carried::NotSent;

  SrbExecScsiCmd& block = request->block;
  block.SRB_Cmd = SC_EXEC_SCSI_CMD;
  block.SRB_HaId = hostAdapter;
  block.SRB_Flags = direction == CarryDirection::In ? FLAGS_IN : FLAGS_OUT;
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
  const uint32_t sent = layer_.SendASPI32Command(&block);
  if (sent == SS_PENDING) {
    // when the wait runs out the status decides: a layer may finish without
    // signalling, or just as the time ends
    if (!layer_.WaitForEvent(request->event, ASPI_WAIT_MS) && ReadStatus(*request) == SS_PENDING) {
      // left queued it would hold up every later request; and until the
      // layer lets go it may still write into the block and buffer
      if (Abort(*request)) {
        Release(std::move(request));
      } else {
        parked_.push_back(std::move(request));
      }
      return Carried::Failed;
    }
  }
  // anything but "pending" means the layer is done with the request, or
  // never took it (its codes from SS_INVALID_CMD up)
  Carried outcome = Carried::Failed;
  if (sent == SS_PENDING || sent == SS_COMP) {
    if (AspiCommandSucceeded(ReadStatus(*request))) outcome = Carried::Succeeded;
  } else if (sent >= SS_INVALID_CMD) {
    outcome = Carried::NotSent;
  }
  if (outcome == Carried::Succeeded && direction == CarryDirection::In && length != 0) {
    std::memcpy(buffer, request->data, length);
  }
  Release(std::move(request));
  return outcome;
}

bool AspiTransport::Abort(AspiRequest& request) {
  SrbAbort abort{};
  abort.header.SRB_Cmd = SC_ABORT_SRB;
  abort.header.SRB_HaId = request.block.SRB_HaId;
  abort.SRB_ToAbort = &request.block;
  if (layer_.AbortRequest(&abort) != SS_COMP) return false;
  // an aborted request is posted like any other: its event is the layer's
  // last act on it
  return layer_.WaitForEvent(request.event, 0);
}

uint8_t AspiTransport::HostAdapters() {
  const uint32_t support = layer_.GetASPI32SupportInfo();
  const uint8_t status = static_cast<uint8_t>((support >> 8) & 0xFF);
  if (status != SS_COMP) return 0;
  return static_cast<uint8_t>(support & 0xFF);
}

bool AspiTransport::Probe(uint8_t hostAdapter, uint8_t target, uint16_t vendorId,
                          uint16_t productId, ChipInfo& record,
                          std::vector<std::unique_ptr<Bridge>>& found) {
  if (!ReadChipInfo(hostAdapter, target, record) || !MatchesIdentity(record, vendorId, productId)) {
    return false;
  }
  found.push_back(std::make_unique<AspiBridge>(*this, hostAdapter, target, record));
  return true;
}

void AspiTransport::Scan(uint16_t vendorId, uint16_t productId, bool firstOnly, ChipInfo& record,
                         std::vector<std::unique_ptr<Bridge>>& found) {
  const uint8_t adapters = HostAdapters();
  for (uint32_t a = 0; a < adapters; ++a) {
    // every target ID is asked, the adapter's own included
    for (uint8_t t = 0; t < ASPI_TARGETS_PER_ADAPTER; ++t) {
      if (Probe(static_cast<uint8_t>(a), t, vendorId, productId, record, found) && firstOnly) {
        return;
      }
    }
  }
}

uint8_t AspiTransport::TargetsOf(uint8_t hostAdapter) {
  SrbHaInquiry inquiry{};
  inquiry.header.SRB_Cmd = SC_HA_INQUIRY;
  inquiry.header.SRB_HaId = hostAdapter;
  if (layer_.InquireHostAdapter(&inquiry) != SS_COMP || inquiry.header.SRB_Status != SS_COMP) {
    return 0;
  }
  constexpr size_t MOST_TARGETS_BYTE = 3;
  const uint8_t targets = inquiry.HA_Unique[MOST_TARGETS_BYTE];
  if (targets == 0) return ASPI_TARGETS_PER_ADAPTER;
  return std::min(targets, ASPI_MOST_TARGETS);
}

bool AspiTransport::DeviceTypeAt(uint8_t hostAdapter, uint8_t target, uint8_t& deviceType) {
  SrbGetDevType query{};
  query.header.SRB_Cmd = SC_GET_DEV_TYPE;
  query.header.SRB_HaId = hostAdapter;
  query.SRB_Target = target;
  query.SRB_Lun = 0;
  if (layer_.GetDeviceType(&query) != SS_COMP || query.header.SRB_Status != SS_COMP) return false;
  deviceType = query.SRB_DeviceType;
  return true;
}

std::vector<std::unique_ptr<Bridge>> AspiTransport::FindBridgesByType(
    uint16_t vendorId, uint16_t productId, const std::vector<AspiAddress>* only) {
  std::vector<std::unique_ptr<Bridge>> found;
  ChipInfo record;
  const uint8_t adapters = HostAdapters();
  for (uint32_t a = 0; a < adapters; ++a) {
    const auto adapter = static_cast<uint8_t>(a);
    const uint8_t targets = TargetsOf(adapter);
    for (uint8_t t = 0; t < targets; ++t) {
      if (only != nullptr &&
          std::find(only->begin(), only->end(), AspiAddress{adapter, t}) == only->end()) {
        continue;
      }
      uint8_t deviceType = 0;
      // a tape, a scanner or an empty ID never sees the vendor opcode
      if (!DeviceTypeAt(adapter, t, deviceType) || !MayBeBridge(deviceType)) continue;
      Probe(adapter, t, vendorId, productId, record, found);
    }
  }
  return found;
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

std::string AdapterTargetName(uint8_t hostAdapter, uint8_t target) {
  return "adapter " + std::to_string(hostAdapter) + ", target " + std::to_string(target);
}

namespace {

// Reads a word in any letter case, or a number below 256, after any spaces.
bool TakeWord(std::string_view& text, std::string_view word) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  text.remove_prefix(word.size());
  return true;
}

bool TakeNumber(std::string_view& text, uint8_t& number) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  uint32_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || value > 255) return false;
  text.remove_prefix(digits);
  number = static_cast<uint8_t>(value);
  return true;
}

bool AllSpaces(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' '; });
}

}  // namespace

bool ParseAdapterTarget(std::string_view text, AspiAddress& address) {
  AspiAddress read;
  std::string_view rest = text;
  if (TakeNumber(rest, read.hostAdapter)) {
    // the short form, "0:1"
    if (!TakeWord(rest, ":") || !TakeNumber(rest, read.target) || !AllSpaces(rest)) return false;
  } else {
    rest = text;
    if (!TakeWord(rest, "adapter") || !TakeNumber(rest, read.hostAdapter)) return false;
    TakeWord(rest, ",");
    if (!TakeWord(rest, "target") || !TakeNumber(rest, read.target) || !AllSpaces(rest)) {
      return false;
    }
  }
  if (read.target >= ASPI_MOST_TARGETS) return false;
  address = read;
  return true;
}

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
