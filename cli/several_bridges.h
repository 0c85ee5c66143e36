// Updating several bridges at once: each on a thread of its own with its own
// device and terminal view; then one summary, for people and for --json.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/bridge_run.h"
#include "cli/devices.h"

namespace zq::cli {

using BridgeRuns = std::vector<std::unique_ptr<BridgeRun>>;

// Updates every run's bridge; one after another unless `together`. Each
// run is handed to `ended`, when given, on its own thread as soon as its
// update ends.
void UpdateAll(BridgeRuns& runs, const ImageBuffer& image, bool verify, bool together,
               const std::function<void(const BridgeRun&)>& ended = {});

// Fills the report with what every update did and, for several, prints the
// summary table; the worst exit status of them.
int ReportUpdates(const BridgeRuns& runs, const Devices& devices, bool verify, uint32_t writeLength,
                  const std::string& backup);

// The report's "updates": what each run's update did, in order, with a
// modelled chip's time where there is one.
nlohmann::json& ListUpdates(const BridgeRuns& runs, const Devices& devices, bool verify,
                            uint32_t writeLength);

// The summary table of several runs (at least one) on the results stream,
// and their outcome together in the report.
void SumUp(const BridgeRuns& runs, nlohmann::json& body);

}  // namespace zq::cli
