// zq5210 read-rom: reads the bridge's flash and saves it, as the window's
// Read ROM... does.
#include "cli/bridge_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/terminal.h"

namespace zq::cli {
namespace {

class ReadRomCommand final : public BridgeCommand {
  std::string path_;
  bool force_ = false;

  void AddOwnOptions(CLI::App& command) override {
    AddFileArgument(command, "OUTPUT", path_, "file to write (- for standard output)");
    command.add_flag("--force", force_, "replace OUTPUT if it exists");
  }

  int Ready() override {
    int status = EXIT_OK;
    SettleOutput(path_, force_, json, status);
    return status;
  }

  int RunOn(Devices& devices, std::vector<FoundBridge> found) override {
    if (!OnlyOne(found)) return EXIT_FAILED;
    if (found.empty()) found.emplace_back();
    uint32_t length = 0;
    if (found[0].bridge) {
      SayDevice(found[0]);
      length = RomReadLength(found[0].bridge->Info());
    }
    // with the dump on standard output, the notice goes with the other texts
    BridgeRun run(std::move(found[0]), devices, path_ == "-" ? stderr : TheReport().Results(),
                  StderrTakesProgressBar(), "", stderr);
    const bool read = run.ReadRom(path_);
    nlohmann::json& body = TheReport().Body();
    body["device"] = run.name;
    body["output"] = path_;
    if (!read) {
      if (run.name.empty()) SayWhyNone(devices);
      body["bytes"] = 0;
      TheReport().Message(run.view.LastError());
      return EXIT_FAILED;
    }
    body["bytes"] = length;
    TheReport().Message(run.view.LastNotice());
    run.view.FlushNotices();
    return EXIT_OK;
  }
};

}  // namespace

std::unique_ptr<CommandRun> MakeReadRomCommand() {
  return std::make_unique<ReadRomCommand>();
}

}  // namespace zq::cli
