#include "cli/bridge_run.h"

#include <chrono>

#include "cli/exit_status.h"
#include "cli/output_paths.h"

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
                     std::string prefix, UpdateChoices choices)
    : files(MakeFilePort()),
      window(out, stderr, bar, std::move(prefix)),
      found(std::move(chosen)),
      name(found.bridge ? found.bridge->Name() : ""),
      check(window, *files, std::move(choices)),
      dialog(std::make_unique<UpdaterDialog>(window, *files, devices.Ports())) {
  window.WatchFileFailures(files.get());
  dialog->UseTextsOf(devices.PassThroughPath());
  dialog->OnInitDialog();
}

void BridgeRun::Update(const ImageBuffer& image, const FileChoice& choice, bool verify) {
  const auto start = std::chrono::steady_clock::now();
  window.verify = verify;
  dialog->UseLoadedImage(image, choice);
  dialog->UpdateBridge(std::move(found.bridge), check.Steps());
  status = ExitStatusOf(dialog->LastUpdate());
  if (dialog->LastUpdate() == UpdateResult::StoppedAfterWrite) {
    finalText = "Stopped after writing: the flash holds the new image, not verified.";
    window.Say(finalText);
  } else if (status == EXIT_AFTER_ERASE) {
    window.Say("zq5210: the bridge may hold no working firmware now; run the update again");
  }
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

nlohmann::json BridgeRun::UpdateJson(bool verify, uint32_t writeLength) const {
  const UpdateResult result = dialog->LastUpdate();
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
  update["message"] = !finalText.empty()    ? finalText
                      : window.ErrorShown() ? window.LastError()
                                            : window.LastNotice();
  return update;
}

}  // namespace zq::cli
