#include "cli/exit_status.h"

namespace zq::cli {

int Worst(int a, int b) {
  const auto rank = [](int status) {
    return status == EXIT_AFTER_ERASE ? 4 : status == EXIT_STOPPED ? 3 : status;
  };
  return rank(a) >= rank(b) ? a : b;
}

int ExitStatusOf(UpdateResult result) {
  switch (result) {
    case UpdateResult::Updated:
    case UpdateResult::Unchanged:
      return EXIT_OK;
    case UpdateResult::EraseFailed:
    case UpdateResult::WriteFailed:
    case UpdateResult::ReadFailed:
    case UpdateResult::VerifyFailed:
      return EXIT_AFTER_ERASE;
    case UpdateResult::StoppedAfterWrite:
      return EXIT_STOPPED;
    case UpdateResult::NotRun:
    case UpdateResult::NoDevice:
    case UpdateResult::Rejected:
    case UpdateResult::NoCode:
    case UpdateResult::Declined:
      break;
  }
  return EXIT_FAILED;
}

}  // namespace zq::cli
