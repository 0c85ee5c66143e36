#include "cli/several_bridges.h"

#include <cstdio>
#include <functional>

#include "app/texts.h"
#include "cli/exit_status.h"
#include "cli/report.h"
#include "cli/terminal.h"

namespace zq::cli {

// Several bridges: the command's outcome is theirs together.
void SumUp(const BridgeRuns& runs, nlohmann::json& body) {
  std::FILE* results = TheReport().Results();
  std::fprintf(results, "%-24s %-10s %8s\n", "DEVICE", "RESULT", "TIME");
  for (const auto& run : runs) {
    std::fprintf(results, "%-24s %-10s %7.2fs  %s\n", EscapeControls(run->name).c_str(),
                 OutcomeWord(OutcomeOf(run->result)), run->seconds,
                 EscapeControls(run->view.LastError()).c_str());
  }
  size_t failed = 0;
  size_t unchanged = 0;
  for (const auto& run : runs) {
    const UpdateOutcome outcome = OutcomeOf(run->result);
    // a stop after writing is no success for the command
    failed += outcome == UpdateOutcome::Failed || outcome == UpdateOutcome::Stopped ? 1 : 0;
    unchanged += outcome == UpdateOutcome::Unchanged ? 1 : 0;
  }
  bool verifiedAll = true;
  for (const nlohmann::json& update : body["updates"]) {
    verifiedAll = verifiedAll && update["verified"] == true;
  }
  body["device"] = nullptr;
  body["bytes_written"] = nullptr;
  body["verified"] = verifiedAll;
  if (failed > 0) {
    body["result"] = "failed";
    TheReport().Message(std::to_string(failed) + " of " + std::to_string(runs.size()) +
                        " bridges failed");
  } else if (unchanged == runs.size()) {
    body["result"] = "unchanged";
    TheReport().Message(runs[0]->view.LastNotice());
  } else {
    body["result"] = "updated";
    TheReport().Message(TEXT_UPDATED);
  }
}

void UpdateAll(BridgeRuns& runs, const ImageBuffer& image, bool verify, bool together,
               const std::function<void(const BridgeRun&)>& ended) {
  const auto update = [&image, verify, &ended](BridgeRun& run) {
    run.Update(image, verify);
    if (ended) ended(run);
  };
  if (!together) {
    for (auto& run : runs) update(*run);
    return;
  }
  std::vector<std::function<void()>> jobs;
  for (auto& run : runs) {
    jobs.emplace_back([&run, &update] { update(*run); });
  }
  RunTogether(jobs);
}

nlohmann::json& ListUpdates(const BridgeRuns& runs, const Devices& devices, bool verify,
                            uint32_t writeLength) {
  nlohmann::json& updates = TheReport().Body()["updates"] = nlohmann::json::array();
  for (const auto& run : runs) {
    updates.push_back(run->UpdateJson(verify, writeLength));
    const std::optional<double> modelled = devices.ModelledSeconds(run->name);
    if (modelled) updates.back()["modelled_seconds"] = *modelled;
  }
  return updates;
}

int ReportUpdates(const BridgeRuns& runs, const Devices& devices, bool verify, uint32_t writeLength,
                  const std::string& backup) {
  int status = EXIT_OK;
  for (const auto& run : runs) status = Worst(status, run->status);
  nlohmann::json& body = TheReport().Body();
  const nlohmann::json& updates = ListUpdates(runs, devices, verify, writeLength);
  // the first bridge's outcome stands for the command; every one is in "updates"
  for (const char* key : {"device", "result", "verified", "bytes_written"}) {
    body[key] = updates[0][key];
  }
  if (!backup.empty()) body["backup"] = backup;
  TheReport().Message(updates[0]["message"]);
  if (runs.size() == 1) {
    if (status == EXIT_OK) runs[0]->view.FlushNotices();
  } else {
    SumUp(runs, body);
  }
  return status;
}

}  // namespace zq::cli
