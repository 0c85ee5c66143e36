#include "cli/bridge_run.h"

#include <chrono>

#include "cli/exit_status.h"
#include "cli/output_paths.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {

UpdateOutcome OutcomeOf(UpdateResult result) {
  switch (result) {
    case UpdateResult::Updated:
      return UpdateOutcome::Updated;
    case UpdateResult::Unchanged:
      return UpdateOutcome::Unchanged;
    case UpdateResult::StoppedAfterWrite:
      return UpdateOutcome::Stopped;
    default:
      return UpdateOutcome::Failed;
  }
}

const char* OutcomeWord(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::Updated:
      return "updated";
    case UpdateOutcome::Unchanged:
      return "unchanged";
    case UpdateOutcome::Stopped:
      return "stopped";
    case UpdateOutcome::Failed:
      break;
  }
  return "failed";
}

BridgeRun::BridgeRun(FoundBridge chosen, Devices& devices, std::FILE* out, bool bar,
                     std::string prefix, std::FILE* chipInfo, UpdateChoices choices)
    : files(MakeFilePort()),
      view(out, stderr, bar, std::move(prefix), chipInfo),
      found(std::move(chosen)),
      name(found.bridge ? found.bridge->Name() : ""),
      firmwareBefore(found.bridge ? DescribeChip(found.bridge->Info()).firmware : ""),
      passThroughPath(devices.PassThroughPath()),
      check(view, *files, std::move(choices)),
      operations(view, *files) {
  view.WatchFileFailures(files.get());
}

bool BridgeRun::ShowChipInfo() {
  const std::unique_ptr<Bridge> bridge = std::move(found.bridge);
  return operations.ShowChipInfo(bridge.get());
}

bool BridgeRun::ReadRom(const std::string& path) {
  ReadRomOptions options;
  options.target = ChoiceForPath(path, &IsPathLeadByte);
  // the window's status line says so only on the pass-through path
  options.sayReading = passThroughPath;
  const std::unique_ptr<Bridge> bridge = std::move(found.bridge);
  return operations.ReadRom(bridge.get(), options);
}

void BridgeRun::Update(const ImageBuffer& image, bool verify) {
  const auto start = std::chrono::steady_clock::now();
  // the update lowers the code size to what it writes: a copy of each run's own
  const auto own = std::make_unique<ImageBuffer>(image);
  const std::unique_ptr<Bridge> bridge = std::move(found.bridge);
  result = operations.Update(bridge.get(), *own, UpdateOptions{verify, {}, check.Steps()});
  status = ExitStatusOf(result);
  if (result == UpdateResult::StoppedAfterWrite) {
    finalText = "Stopped after writing: the flash holds the new image, not verified.";
    view.Say(finalText);
  } else if (status == EXIT_AFTER_ERASE) {
    view.Say("zq5210: the bridge may hold no working firmware now; run the update again");
  }
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

nlohmann::json BridgeRun::UpdateJson(bool verify, uint32_t writeLength) const {
  const UpdateOutcome outcome = OutcomeOf(result);
  nlohmann::json update;
  update["device"] = name;
  update["result"] =
      OutcomeWord(outcome == UpdateOutcome::Stopped ? UpdateOutcome::Failed : outcome);
  update["verified"] = verify && result == UpdateResult::Updated;
  const bool allWritten =
      result == UpdateResult::Updated || result == UpdateResult::StoppedAfterWrite ||
      result == UpdateResult::ReadFailed || result == UpdateResult::VerifyFailed;
  // a write that failed part-way leaves an unknown count
  if (result == UpdateResult::WriteFailed) {
    update["bytes_written"] = nullptr;
  } else {
    update["bytes_written"] = allWritten ? writeLength : 0;
  }
  update["seconds"] = seconds;
  update["message"] = !finalText.empty()  ? finalText
                      : view.ErrorShown() ? view.LastError()
                                          : view.LastNotice();
  return update;
}

}  // namespace zq::cli
