#include "protocol/bridge.h"

#include <algorithm>
#include <cstring>

namespace zq {
namespace {

class NoBlockProgress final : public BlockProgress {
 public:
  void BlockRead() override {}
};

// The one read loop: blocks of [0, length) in order, each handed to `take`;
// false at the first block that fails or that `take` turns down.
template <typename Take>
bool ReadEachBlock(Bridge& bridge, uint32_t length, Take take, BlockProgress& progress) {
  uint8_t block[BLOCK_SIZE];
  for (uint32_t offset = 0; offset < length; offset += BLOCK_SIZE) {
    const uint32_t blockLength = std::min(BLOCK_SIZE, length - offset);
    if (!bridge.ReadBlock(offset, blockLength, block)) return false;
    if (!take(offset, block, blockLength)) return false;
    progress.BlockRead();
  }
  return true;
}

bool ReadsErased(Bridge& bridge, uint32_t length) {
  NoBlockProgress none;
  const auto allErased = [](uint32_t, const uint8_t* block, uint32_t blockLength) {
    return std::all_of(block, block + blockLength, [](uint8_t b) { return b == 0xFF; });
  };
  return ReadEachBlock(bridge, length, allErased, none);
}

}  // namespace

bool Bridge::EraseAndWait(ProgressStepper& progress, uint32_t checkLength,
                          const ErasePolling& polling) {
  const Carried request = SendErase();
  if (request == Carried::NotSent) return false;
  // whatever the erase command answered, the status polls decide when it ends
  uint32_t wait = polling.firstWaitMs;
  uint32_t waited = 0;
  for (;;) {
    uint8_t status = 0;
    if (!QueryStatus(status)) return false;
    if (status == STATUS_READY) break;
    if (status != STATUS_BUSY) return false;
    // the device answers busy while erasing
    Sleep(wait);
    const uint32_t secondsBefore = waited / ERASE_POLL_INTERVAL_MS;
    waited += wait;
    // the bar moves with the time waited, a step a second
    for (uint32_t s = secondsBefore; s < waited / ERASE_POLL_INTERVAL_MS; ++s) {
      progress.StepProgress(ERASE_PROGRESS_STEP, ERASE_PROGRESS_CAP);
    }
    if (waited >= polling.totalWaitMs) return false;  // never leaves busy
    wait = std::min(wait * std::max(polling.growth, 1u), polling.longestWaitMs);
  }
  // a refused erase that reports ready may have erased nothing: NOR flash
  // written over unerased bytes only clears bits, so look before writing
  return request == Carried::Succeeded || ReadsErased(*this, checkLength);
}

Carried Bridge::SendErase() {
  // no data phase: it goes out with none
  return Carry(EncodeErase(), CarryDirection::Out, nullptr, 0);
}

bool Bridge::WriteBlock(uint32_t address, uint32_t length, const uint8_t* data) {
  if (length > BLOCK_SIZE || (length > 0 && data == nullptr)) return false;
  uint8_t block[BLOCK_SIZE];
  if (length > 0) std::memcpy(block, data, length);
  return Carry(EncodeWrite(address, length), CarryDirection::Out, block, length) ==
         Carried::Succeeded;
}

bool Bridge::ReadBlock(uint32_t address, uint32_t length, uint8_t* buffer) {
  if (length > BLOCK_SIZE || (length > 0 && buffer == nullptr)) return false;
  return Carry(EncodeRead(address, length), CarryDirection::In, buffer, length) ==
         Carried::Succeeded;
}

bool Bridge::QueryStatus(uint8_t& status) {
  uint8_t reply[STATUS_REPLY_SIZE] = {};
  if (Carry(EncodeStatus(), CarryDirection::In, reply, STATUS_REPLY_SIZE) != Carried::Succeeded) {
    return false;
  }
  status = reply[0];
  return true;
}

bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into, BlockProgress& progress) {
  if (length > 0 && into == nullptr) return false;
  const auto keep = [into](uint32_t offset, const uint8_t* block, uint32_t blockLength) {
    std::memcpy(into + offset, block, blockLength);
    return true;
  };
  return ReadEachBlock(bridge, length, keep, progress);
}

bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into) {
  NoBlockProgress none;
  return ReadRange(bridge, length, into, none);
}

}  // namespace zq
