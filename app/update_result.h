// How an update ended, for the window, the command line and its exit status.
#pragma once

namespace zq {

enum class UpdateResult {
  NotRun,
  NoDevice,     // nothing changed
  Rejected,     // nothing changed
  NoCode,       // nothing changed
  Declined,     // the host's checks stopped it before the erase
  Unchanged,    // the flash already held the image: nothing to do
  EraseFailed,  // from here on the flash may hold no working firmware
  WriteFailed,
  ReadFailed,
  VerifyFailed,
  StoppedAfterWrite,  // a stop was asked for while writing: written, not verified
  Updated,
};

}  // namespace zq
