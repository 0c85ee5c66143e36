#include "protocol/bridge.h"

#include <algorithm>
#include <cstring>

namespace zq {
namespace {

// A dump's two readings of a block start from these: every byte differs, so
// a byte that came in neither reading cannot agree.
constexpr uint8_t FIRST_FILL = 0x00;
constexpr uint8_t SECOND_FILL = 0xFF;

class NoBlockProgress final : public BlockProgress {
 public:
  void BlockRead() override {}
};

// The one read loop: blocks of [0, length) in order, each checked as the
// carrier allows, then handed to `take`; false at the first block that fails
// or that `take` turns down. `expectedAt(offset)` gives the byte looked for
// there when verifying.
template <typename ExpectedAt, typename Take>
bool ReadEachBlock(Bridge& bridge, uint32_t length, bool verifying, ExpectedAt expectedAt,
                   Take take, BlockProgress& progress) {
  uint8_t block[BLOCK_SIZE];
  uint8_t again[BLOCK_SIZE];
  const bool twice = !verifying && !bridge.SeesShortTransfers();
  for (uint32_t offset = 0; offset < length; offset += BLOCK_SIZE) {
    const uint32_t blockLength = std::min(BLOCK_SIZE, length - offset);
    if (verifying) {
      for (uint32_t i = 0; i < blockLength; ++i) {
        block[i] = static_cast<uint8_t>(~expectedAt(offset + i));
      }
    } else {
      std::memset(block, FIRST_FILL, blockLength);
    }
    if (!bridge.ReadBlock(offset, blockLength, block)) return false;
    if (twice) {
      std::memset(again, SECOND_FILL, blockLength);
      if (!bridge.ReadBlock(offset, blockLength, again)) return false;
      if (std::memcmp(block, again, blockLength) != 0) return false;
    }
    if (!take(offset, block, blockLength)) return false;
    progress.BlockRead();
  }
  return true;
}

bool ReadsErased(Bridge& bridge, uint32_t length) {
  NoBlockProgress none;
  const auto erased = [](uint32_t) -> uint8_t { return 0xFF; };
  const auto allErased = [](uint32_t, const uint8_t* block, uint32_t blockLength) {
    return std::all_of(block, block + blockLength, [](uint8_t b) { return b == 0xFF; });
  };
  return ReadEachBlock(bridge, length, true, erased, allErased, none);
}

}  // namespace

bool Bridge::EraseAndWait(ProgressStepper& progress, uint32_t checkLength,
                          const ErasePolling& polling) {
  const Carried request = SendErase();
  if (request == Carried::NotSent) return false;
  // whatever the erase command answered, the status polls decide when it ends;
  // time must pass between polls for the total wait to end them
  const uint32_t wait = std::max(polling.intervalMs, 1u);
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

bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into, BlockProgress& progress,
               const uint8_t* expected) {
  if (length > 0 && into == nullptr) return false;
  const auto expectedAt = [expected](uint32_t at) { return expected[at]; };
  const auto keep = [into](uint32_t offset, const uint8_t* block, uint32_t blockLength) {
    std::memcpy(into + offset, block, blockLength);
    return true;
  };
  return ReadEachBlock(bridge, length, expected != nullptr, expectedAt, keep, progress);
}

bool ReadRange(Bridge& bridge, uint32_t length, uint8_t* into, const uint8_t* expected) {
  NoBlockProgress none;
  return ReadRange(bridge, length, into, none, expected);
}

}  // namespace zq
