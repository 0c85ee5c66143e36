#include "protocol/bridge.h"

#include <algorithm>

namespace zq {

bool Bridge::EraseAndWait(ProgressStepper& progress, uint32_t checkLength,
                          const ErasePolling& polling) {
  const EraseRequest request = SendErase();
  if (request == EraseRequest::NotSent) return false;
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
  return request == EraseRequest::Accepted || ReadsErased(checkLength);
}

bool Bridge::ReadsErased(uint32_t length) {
  uint8_t block[BLOCK_SIZE];
  for (uint32_t offset = 0; offset < length; offset += BLOCK_SIZE) {
    const uint32_t blockLength = std::min(BLOCK_SIZE, length - offset);
    if (!ReadBlock(offset, blockLength, block)) return false;
    if (!std::all_of(block, block + blockLength, [](uint8_t b) { return b == 0xFF; })) return false;
  }
  return true;
}

}  // namespace zq
