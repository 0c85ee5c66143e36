// zq5210 update: writes an image into one bridge's flash, or into several at
// once, with the command line's care: every chosen bridge usable before any
// is touched, a look at the flash before erasing, a question on a terminal.
#include <algorithm>

#include "app/texts.h"
#include "cli/bridge_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/several_bridges.h"
#include "cli/station.h"
#include "cli/stop_requests.h"
#include "cli/terminal.h"
#include "cli/update_log.h"

namespace zq::cli {
namespace {

bool ConfirmAll(const std::vector<FoundBridge>& found) {
  std::string names;
  for (const FoundBridge& bridge : found) {
    names += (names.empty() ? "" : ", ") + bridge.bridge->Name();
  }
  TerminalView asking(stdout, stderr, false);
  return asking.Confirm("Erase and rewrite the firmware of " + names + "?");
}

class UpdateCommand final : public BridgeCommand {
  void AddOwnOptions(CLI::App& command) override {
    AddFileArgument(command, "IMAGE", path_, "firmware image (.bin or .hex)");
    command.add_flag("--verify", verifyFlag_, "read the flash back and compare (the default)");
    command.add_flag("--no-verify", noVerify_, "skip reading the flash back");
    command.add_flag("--rewrite", rewrite_, "write even when the flash already holds IMAGE");
    command.add_option("--backup", backup_, "save the whole flash to FILE before erasing")
        ->check(NON_EMPTY);
    command.add_flag("--force", force_, "replace the backup FILE if it exists");
    command.add_flag("--allow-truncate", allowTruncate_,
                     "write the first 32768 bytes of a longer image");
    command.add_flag("--yes", yes_, "do not ask before erasing");
    command.add_flag("--all", all_, "update every bridge attached, all at once");
    command.add_option("--log", logPath_, "append a JSON line per bridge updated to FILE")
        ->check(NON_EMPTY);
    command.add_flag("--watch", watch_,
                     "a station: update the bridges attached, then each bridge as it is plugged "
                     "in, once per plug, until Ctrl-C");
    command.add_option("--count", count_, "with --watch: end after N bridges")
        ->check(CLI::Range(1u, 1000000u));
    command.add_flag("--dismount", options.dismount,
                     "lock and dismount the bridge's mounted volumes for the update (Windows)");
  }

  int Ready() override {
    // whatever stops the update early, a script still reads what became of it
    nlohmann::json& body = TheReport().Body();
    body["device"] = nullptr;
    body["result"] = "failed";
    body["verified"] = false;
    body["bytes_written"] = 0;
    if (watch_ && (all_ || !backup_.empty())) {
      std::fprintf(stderr, "zq5210: --watch excludes --%s\n%s", all_ ? "all" : "backup",
                   UsageText().c_str());
      TheReport().Message(std::string("--watch excludes --") + (all_ ? "all" : "backup"));
      return EXIT_USAGE;
    }
    if (count_ != 0 && !watch_) {
      std::fprintf(stderr, "zq5210: --count needs --watch\n%s", UsageText().c_str());
      TheReport().Message("--count needs --watch");
      return EXIT_USAGE;
    }
    if (all_ && !options.devices.empty()) {
      std::fprintf(stderr, "zq5210: --all and --device exclude each other\n%s",
                   UsageText().c_str());
      return EXIT_USAGE;
    }
    // standard output carries the results; log lines there would mix with them
    if (!logPath_.empty() && IsStandardOutput(logPath_)) {
      std::fprintf(stderr, "zq5210: --log takes a file, not standard output\n%s",
                   UsageText().c_str());
      return EXIT_USAGE;
    }
    int status = EXIT_OK;
    if (!backup_.empty() && !SettleOutput(backup_, force_, json, status)) return status;
    HashingFilePort hashing(*files_);
    if (!LoadImage(hashing, path_, *image_)) return EXIT_FAILED;
    const std::string sha256 = hashing.HexDigest();
    if (image_->codeSize > LARGEST_WRITE) {
      if (!allowTruncate_) {
        return Failed(Quoted(path_) + " holds " + std::to_string(image_->codeSize) +
                      " bytes; the bridge takes at most 32768 (pass --allow-truncate to write "
                      "the first 32768)");
      }
      Warn("writing only the first 32768 of the image's " + std::to_string(image_->codeSize) +
           " bytes");
    }
    // no bridge is looked for, let alone erased, without somewhere to log it
    if (!logPath_.empty()) {
      if (!log_.Open(*files_, logPath_)) return EXIT_FAILED;
      log_.SetImage({path_, sha256});
    }
    return EXIT_OK;
  }

  // Every chosen bridge must be usable before any is touched.
  bool AllUsable(Devices& devices, const std::vector<FoundBridge>& found) {
    std::vector<std::string> unusable;
    if (all_) {
      for (const DeviceProblem& problem : devices.Problems()) unusable.push_back(problem.text);
    }
    for (const FoundBridge& bridge : found) {
      std::string problem;
      if (!devices.ClaimDisk(bridge, problem)) unusable.push_back(problem);
      if (found.size() > 1 && bridge.bridge->Info().accessFlag == 0) {
        unusable.push_back(bridge.bridge->Name() + ": " + TEXT_REJECTED);
      }
    }
    if (unusable.empty()) return true;
    Failed("nothing was touched; not usable:");
    for (const std::string& line : unusable) {
      std::fprintf(stderr, "  %s\n", EscapeControls(line).c_str());
    }
    return false;
  }

  bool Waits() const override { return watch_; }

  // The station: asked once, then each bridge as it comes.
  int Watch(Devices& devices) override {
    if (!yes_ && StdinIsTerminal()) {
      TerminalView asking(stdout, stderr, false);
      if (!asking.Confirm("Update every bridge plugged in with " + path_ + "?")) {
        return Failed("not confirmed; nothing changed");
      }
    }
    std::unique_ptr<DeviceEvents> events = devices.Events();
    StationView view(stderr, StderrTakesProgressBar());
    StationSettings settings;
    settings.verify = !noVerify_;
    settings.rewrite = rewrite_;
    settings.count = count_;
    Station station(devices, *events, *image_, settings, view, log_, ProcessStops());
    station.Run(path_, options.devices);
    const BridgeRuns& runs = station.Ended();
    const int status = station.Status();
    nlohmann::json& body = TheReport().Body();
    ListUpdates(runs, devices, !noVerify_, std::min(image_->codeSize, LARGEST_WRITE));
    if (runs.empty()) {
      body["result"] = "unchanged";
      TheReport().Message("no bridge was updated");
    } else {
      SumUp(runs, body);
    }
    const std::string summary = "station: " + std::to_string(view.Passed()) + " passed, " +
                                std::to_string(view.Failed()) + " failed";
    std::fprintf(TheReport().Results(), "%s\n", summary.c_str());
    const std::string lost = log_.Failure();
    if (!lost.empty()) {
      TheReport().Message(lost);
    } else if (status == EXIT_STOPPED || status == EXIT_AFTER_ERASE) {
      TheReport().Message(summary + (status == EXIT_STOPPED
                                         ? "; stopped"
                                         : "; " + std::string(TEXT_STOPPED_AFTER_DAMAGE)));
    }
    return status;
  }

  int RunOn(Devices& devices, std::vector<FoundBridge> found) override {
    const ImageBuffer& image = *image_;
    const bool named = !options.devices.empty();
    if (!all_ && !named && !OnlyOne(found)) return EXIT_FAILED;
    if (found.empty()) {
      BridgeRun run(FoundBridge{}, devices, stdout, false, "", nullptr);
      run.Update(image, !noVerify_);
      SayWhyNone(devices);
      TheReport().Message(run.view.LastError());
      TheReport().Body()["result"] = "failed";
      return EXIT_FAILED;
    }
    const bool several = found.size() > 1;
    if (several && !backup_.empty()) {
      std::fprintf(stderr, "zq5210: --backup takes one bridge\n");
      return EXIT_USAGE;
    }
    if (!AllUsable(devices, found)) return EXIT_FAILED;
    const bool ask = !yes_ && StdinIsTerminal();
    if (several && ask && !ConfirmAll(found)) return Failed("not confirmed; nothing changed");

    UpdateChoices choices;
    choices.rewrite = rewrite_;
    choices.backupPath = backup_;
    choices.ask = ask && !several;
    BridgeRuns runs;
    for (FoundBridge& bridge : found) {
      SayDevice(bridge);
      const std::string prefix = several ? bridge.bridge->Name() + ": " : "";
      // with the backup on standard output, the notices go with the other texts
      std::FILE* results = backup_ == "-" ? stderr : TheReport().Results();
      runs.push_back(std::make_unique<BridgeRun>(std::move(bridge), devices, results,
                                                 !several && StderrTakesProgressBar(), prefix,
                                                 stderr, choices));
    }
    // the ASPI layer is driven from one thread
    const uint32_t writeLength = std::min(image.codeSize, LARGEST_WRITE);
    UpdateAll(
        runs, image, !noVerify_, several && devices.PassThroughPath(),
        [this, writeLength](const BridgeRun& run) { log_.Record(run, !noVerify_, writeLength); });
    for (const auto& run : runs) {
      const std::string problem = devices.StorageProblem(run->name);
      if (!problem.empty()) Say(problem);
    }
    const int status = ReportUpdates(runs, devices, !noVerify_, writeLength, backup_);
    const std::string lost = log_.Failure();
    if (lost.empty()) return status;
    // the bridges are as they say; their record is what went missing
    TheReport().Message(lost);
    return Worst(status, EXIT_NOT_REPORTED);
  }

  std::string path_;
  bool verifyFlag_ = false;  // the default; kept for scripts that ask for it
  bool noVerify_ = false;
  bool rewrite_ = false;
  std::string backup_;
  bool force_ = false;
  bool allowTruncate_ = false;
  bool yes_ = false;
  bool all_ = false;
  bool watch_ = false;
  uint32_t count_ = 0;
  std::string logPath_;
  std::unique_ptr<FilePort> files_ = MakeFilePort();
  UpdateLog log_;
  std::unique_ptr<ImageBuffer> image_ = std::make_unique<ImageBuffer>();  // 64 KB: off the stack
};

}  // namespace

std::unique_ptr<CommandRun> MakeUpdateCommand() {
  return std::make_unique<UpdateCommand>();
}

}  // namespace zq::cli
