#include "protocol/bridge.h"

namespace zq {

bool Bridge::EraseAndWait(ProgressStepper& progress) {
  // whatever the erase command itself answered, the status polls decide
  if (SendErase() == EraseRequest::NotSent) return false;
  for (uint32_t busyAnswers = 0;;) {
    uint8_t status = 0;
    if (!QueryStatus(status)) return false;
    if (status == STATUS_READY) return true;
    if (status != STATUS_BUSY) return false;
    // the device answers busy while erasing; poll once a second
    Sleep(ERASE_POLL_INTERVAL_MS);
    progress.StepProgress(ERASE_PROGRESS_STEP, ERASE_PROGRESS_CAP);
    if (++busyAnswers >= ERASE_MAX_BUSY_POLLS) return false;  // never leaves busy
  }
}

}  // namespace zq
