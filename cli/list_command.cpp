// zq5210 list: every bridge attached, one line each.
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/report.h"

namespace zq::cli {
namespace {

class ListCommand final : public BridgeCommand {
  int RunOn(Devices& devices, std::vector<FoundBridge> found) override {
    nlohmann::json& bridges = TheReport().Body()["bridges"] = nlohmann::json::array();
    if (found.empty()) {
      std::fprintf(stderr, "No bridge found.\n");
      SayWhyNone(devices);
      TheReport().Message("No bridge found.");
      return EXIT_FAILED;
    }
    for (const FoundBridge& bridge : found) {
      std::fprintf(TheReport().Results(), "%s\n", ListLine(bridge).c_str());
      bridges.push_back(BridgeJson(bridge));
    }
    return EXIT_OK;
  }
};

}  // namespace

std::unique_ptr<CommandRun> MakeListCommand() {
  return std::make_unique<ListCommand>();
}

}  // namespace zq::cli
