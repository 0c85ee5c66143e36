// zq5210 info: finds the bridge and shows its chip information, as the
// window's labels show it; every bridge when none is named.
#include "cli/bridge_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/report.h"
#include "cli/terminal.h"

namespace zq::cli {
namespace {

class InfoCommand final : public BridgeCommand {
  int RunOn(Devices& devices, std::vector<FoundBridge> found) override {
    int status = EXIT_OK;
    if (found.empty()) found.emplace_back();  // the window's own "not found" texts
    const bool several = found.size() > 1;
    std::FILE* results = TheReport().Results();
    nlohmann::json& bridges = TheReport().Body()["bridges"] = nlohmann::json::array();
    for (FoundBridge& bridge : found) {
      if (bridge.bridge) {
        SayDevice(bridge);
        bridges.push_back(BridgeJson(bridge));
      }
      if (several) std::fprintf(results, "%s\n", DeviceLine(bridge).c_str());
      BridgeRun run(std::move(bridge), devices, results, StderrTakesProgressBar(), "", results);
      if (!run.ShowChipInfo()) {
        status = EXIT_FAILED;
        TheReport().Message(run.view.LastError());
      }
    }
    // every bridge is shown, or the command says which could not be and fails
    const std::vector<DeviceProblem> problems = devices.Problems();
    if (options.devices.empty() && !problems.empty() && status == EXIT_OK) {
      status = EXIT_FAILED;
      TheReport().Message(problems.front().text);
    }
    if (status != EXIT_OK) SayWhyNone(devices);
    return status;
  }
};

}  // namespace

std::unique_ptr<CommandRun> MakeInfoCommand() {
  return std::make_unique<InfoCommand>();
}

}  // namespace zq::cli
