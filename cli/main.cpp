// zq5210: the updater driven from the command line. The same window
// behaviour runs behind it; the terminal stands in for the window.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "cli/devices.h"
#include "cli/host_bindings.h"
#include "cli/report.h"
#include "cli/terminal_window.h"
#include "cli/update_steps.h"
#include "zq_version.h"

namespace {

using zq::cli::FoundBridge;
using zq::cli::TheReport;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* EXIT_STATUS_TEXT =
    "Exit status:\n"
    "  0    done, or nothing to do\n"
    "  1    failed; the flash was not changed\n"
    "  2    usage error\n"
    "  3    failed after the erase began: the bridge may hold no working firmware;\n"
    "       run the update again\n"
    "  130  stopped by a signal";

int Failed(const std::string& text) {
  std::fprintf(stderr, "zq5210: %s\n", zq::cli::EscapeControls(text).c_str());
  TheReport().Message(text);
  return EXIT_FAILED;
}

std::string Quoted(const std::string& path) {
  return "'" + zq::cli::EscapeControls(path) + "'";
}

// An empty value is a mistake, never "not given".
const CLI::Validator NON_EMPTY(
    [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
    "", "NON_EMPTY");

void AddDeviceOptions(CLI::App& command, zq::cli::DeviceOptions& options, bool& json) {
  command.add_flag("--json", json, "print one JSON object on standard output");
  command.add_option("--transport", options.transport, "pass-through (default) or aspi")
      ->check(CLI::IsMember({"pass-through", "aspi"}));
  command
      .add_option("--device", options.devices,
                  "the bridge to use: a generic node (/dev/sg2), a block node (/dev/sdb) or a "
                  "USB port path (2-1.4); may be given several times")
      ->check(NON_EMPTY);
  CLI::Option* emulate = command.add_flag("--emulate", options.emulate, "use emulated bridges");
  zq::cli::EmulationOptions& emulation = options.emulation;
  command.add_option("--emulate-bridges", emulation.bridges, "how many emulated bridges (1 to 8)")
      ->needs(emulate);
  command
      .add_option("--emulate-flash", emulation.flashFiles,
                  "keep an emulated bridge's flash in FILE (created erased); once per bridge")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command
      .add_option("--emulate-record", emulation.record,
                  "the emulated chip-information record, 24 hex digits")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command.add_option("--emulate-busy", emulation.busy, "busy answers after each erase")
      ->needs(emulate);
  command
      .add_option("--emulate-fault", emulation.faults,
                  "[K:]F, F one of write:N read:N short-read:N lie-write:N flip:ADDR erase "
                  "refuse-erase stuck status info vanish:N; for bridge K, or every bridge")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command
      .add_flag("--emulate-timing", emulation.timing,
                "the emulated bridges take a real chip's time for each command")
      ->needs(emulate);
}

// Loads the image as the window's Load File... does, with its texts.
bool LoadImage(zq::FilePort& files, const std::string& path, zq::ImageBuffer& image) {
  const zq::FileChoice choice = zq::ChoiceForPath(path, &zq::cli::IsPathLeadByte);
  std::string errorText;
  if (zq::LoadImageFile(files, choice.path, choice.name, choice.extension, image, errorText)) {
    return true;
  }
  std::fprintf(stderr, "%s\n", zq::cli::EscapeControls(errorText).c_str());
  if (!files.LastFailure().empty()) Failed(files.LastFailure());
  TheReport().Message(errorText);
  return false;
}

bool SaveBytes(zq::FilePort& files, const std::string& path, const uint8_t* bytes,
               uint32_t length) {
  std::unique_ptr<zq::OutputFile> output = files.CreateForWrite(path);
  uint32_t written = 0;
  if (output && output->Write(bytes, length, written) && written == length && output->Commit()) {
    return true;
  }
  Failed("cannot write " + Quoted(path) + ": " + files.LastFailure());
  return false;
}

struct CheckArgs {
  std::string image;
  std::string output;
  bool force = false;
};

int RunCheck(const CheckArgs& args) {
  if (!args.output.empty() && !args.force && zq::cli::WouldReplace(args.output)) {
    return Failed(Quoted(args.output) + " exists; pass --force to replace it");
  }
  auto files = zq::cli::MakeFilePort();
  auto image = std::make_unique<zq::ImageBuffer>();  // 64 KB: off the stack
  if (!LoadImage(*files, args.image, *image)) return EXIT_FAILED;
  // the bytes themselves may be going to standard output
  std::FILE* labels = zq::cli::IsStandardOutput(args.output) ? stderr : TheReport().Results();
  const std::string label = zq::cli::LabelLine(zq::CodeSizeLabel(image->codeSize));
  std::fprintf(labels, "%s\n", label.c_str());
  TheReport().Body()["code_size"] = image->codeSize;
  TheReport().Message(label);
  if (args.output.empty()) return EXIT_OK;
  return SaveBytes(*files, args.output, image->data.data(), image->codeSize) ? EXIT_OK
                                                                             : EXIT_FAILED;
}

// The bridges found, or why there are none; the reasons go to standard error.
bool OpenDevices(const zq::cli::DeviceOptions& options, zq::FilePort& files,
                 zq::cli::Devices& devices, int& status) {
  std::string problem;
  bool usage = false;
  if (devices.Open(options, files, problem, usage)) return true;
  status = usage ? EXIT_USAGE : EXIT_FAILED;
  TheReport().Message(problem);
  if (usage || problem.rfind("Can't", 0) != 0) problem = "zq5210: " + problem;
  std::fprintf(stderr, "%s\n", zq::cli::EscapeControls(problem).c_str());
  return false;
}

// Every command says which device it acts on.
void SayDevice(const FoundBridge& bridge) {
  std::fprintf(stderr, "zq5210: device %s\n", zq::cli::DeviceLine(bridge).c_str());
}

void SayWhyNone(zq::cli::Devices& devices) {
  // reasons beside the final text, never in its place
  for (const std::string& line : devices.Problems()) {
    std::fprintf(stderr, "zq5210: %s\n", zq::cli::EscapeControls(line).c_str());
  }
  if (zq::cli::DeviceAccessWasDenied()) {
    std::fprintf(stderr,
                 "zq5210: a device refused access: run zq5210 from an elevated prompt "
                 "(\"Run as administrator\")\n");
  }
}

// The bridges found and kept by name; false with the exit status when the
// devices cannot be had or a name matches no bridge.
bool FindChosen(const zq::cli::DeviceOptions& options, zq::FilePort& files,
                zq::cli::Devices& devices, std::vector<FoundBridge>& found, int& status) {
  if (!OpenDevices(options, files, devices, status)) return false;
  found = devices.FindAll();
  std::string problem;
  if (devices.KeepNamed(found, problem)) return true;
  status = Failed(problem);
  return false;
}

int RunList(const zq::cli::DeviceOptions& options) {
  auto files = zq::cli::MakeFilePort();
  zq::cli::Devices devices;
  std::vector<FoundBridge> found;
  int status = EXIT_OK;
  if (!FindChosen(options, *files, devices, found, status)) return status;
  nlohmann::json& bridges = TheReport().Body()["bridges"] = nlohmann::json::array();
  if (found.empty()) {
    std::fprintf(stderr, "No bridge found.\n");
    SayWhyNone(devices);
    TheReport().Message("No bridge found.");
    return EXIT_FAILED;
  }
  for (const FoundBridge& bridge : found) {
    std::fprintf(TheReport().Results(), "%s\n", zq::cli::ListLine(bridge).c_str());
    bridges.push_back(zq::cli::BridgeJson(bridge));
  }
  return EXIT_OK;
}

// One bridge's window behind the terminal.
struct BridgeRun {
  BridgeRun(FoundBridge chosen, zq::cli::Devices& devices, std::FILE* out, bool bar,
            std::string prefix, zq::cli::UpdateChoices choices)
      : files(zq::cli::MakeFilePort()),
        window(out, stderr, bar, std::move(prefix)),
        name(chosen.bridge ? chosen.bridge->Name() : ""),
        hooks(std::move(chosen.bridge), window, *files, std::move(choices)),
        dialog(std::make_unique<zq::UpdaterDialog>(window, *files, devices.Ports())) {
    window.WatchFileFailures(files.get());
    // the path in use decides a few texts; its layer is bound already
    dialog->UseTransport(devices.PassThroughPath());
    dialog->SetHooks(&hooks);
    dialog->OnInitDialog();
  }

  std::unique_ptr<zq::FilePort> files;
  zq::cli::TerminalWindow window;
  std::string name;
  zq::cli::CommandHooks hooks;
  std::unique_ptr<zq::UpdaterDialog> dialog;
  int status = EXIT_OK;
  double seconds = 0;
};

enum class Operation { Info, Update, ReadRom };

struct OperationArgs {
  Operation operation = Operation::Info;
  std::string path;
  bool noVerify = false;
  bool force = false;
  bool all = false;
  bool yes = false;
  bool rewrite = false;
  bool allowTruncate = false;
  std::string backup;
};

// Without a name, one bridge is used, never a guess between several.
bool OnlyOne(const std::vector<FoundBridge>& found) {
  if (found.size() <= 1) return true;
  Failed("several bridges are attached; name one with --device:");
  for (const FoundBridge& bridge : found) {
    std::fprintf(stderr, "  %s\n", zq::cli::DeviceLine(bridge).c_str());
  }
  return false;
}

int RunInfo(const zq::cli::DeviceOptions& options, zq::cli::Devices& devices,
            std::vector<FoundBridge> found) {
  if (found.empty()) found.emplace_back();  // the window's own "not found" texts
  int status = EXIT_OK;
  const bool several = found.size() > 1;
  std::FILE* results = TheReport().Results();
  nlohmann::json& bridges = TheReport().Body()["bridges"] = nlohmann::json::array();
  for (FoundBridge& bridge : found) {
    if (bridge.bridge) {
      SayDevice(bridge);
      bridges.push_back(zq::cli::BridgeJson(bridge));
    }
    if (several) std::fprintf(results, "%s\n", zq::cli::DeviceLine(bridge).c_str());
    BridgeRun run(std::move(bridge), devices, results, zq::cli::StderrIsTerminal(), "", {});
    run.window.labelStream = results;
    run.dialog->OnShowChipInfo();
    if (run.window.ErrorShown()) {
      status = EXIT_FAILED;
      TheReport().Message(run.window.LastError());
    }
  }
  if (status != EXIT_OK && !options.emulate) SayWhyNone(devices);
  return status;
}

int RunReadRom(const OperationArgs& args, zq::cli::Devices& devices,
               std::vector<FoundBridge> found) {
  if (!OnlyOne(found)) return EXIT_FAILED;
  if (found.empty()) found.emplace_back();
  uint32_t length = 0;
  if (found[0].bridge) {
    SayDevice(found[0]);
    length = zq::RomReadLength(found[0].bridge->Info());
  }
  // with the dump on standard output, the notice goes with the other texts
  BridgeRun run(std::move(found[0]), devices,
                zq::cli::IsStandardOutput(args.path) ? stderr : TheReport().Results(),
                zq::cli::StderrIsTerminal(), "", {});
  run.window.savePath = args.path;
  run.window.labelStream = stderr;
  run.dialog->OnReadRom();
  nlohmann::json& body = TheReport().Body();
  body["device"] = run.name;
  body["output"] = args.path;
  if (run.window.ErrorShown()) {
    if (run.name.empty()) SayWhyNone(devices);
    body["bytes"] = 0;
    TheReport().Message(run.window.LastError());
    return EXIT_FAILED;
  }
  body["bytes"] = length;
  TheReport().Message(run.window.LastNotice());
  run.window.FlushNotices();
  return EXIT_OK;
}

// The worst of several outcomes: a bridge left without firmware first.
int Worst(int a, int b) {
  const auto rank = [](int status) {
    return status == zq::cli::EXIT_AFTER_ERASE ? 4 : status == zq::cli::EXIT_STOPPED ? 3 : status;
  };
  return rank(a) >= rank(b) ? a : b;
}

std::string ResultWord(const BridgeRun& run) {
  switch (run.dialog->LastUpdate()) {
    case zq::UpdateResult::Updated:
      return "updated";
    case zq::UpdateResult::Unchanged:
      return "unchanged";
    case zq::UpdateResult::StoppedAfterWrite:
      return "stopped";
    default:
      return "failed";
  }
}

// What one bridge's update did, as --json tells it.
nlohmann::json UpdateJson(const BridgeRun& run, bool verify, uint32_t writeLength) {
  const zq::UpdateResult result = run.dialog->LastUpdate();
  nlohmann::json update;
  update["device"] = run.name;
  update["result"] = ResultWord(run) == "stopped" ? "failed" : ResultWord(run);
  update["verified"] = verify && result == zq::UpdateResult::Updated;
  const bool allWritten =
      result == zq::UpdateResult::Updated || result == zq::UpdateResult::StoppedAfterWrite ||
      result == zq::UpdateResult::ReadFailed || result == zq::UpdateResult::VerifyFailed;
  // a write that failed part-way leaves an unknown count
  if (result == zq::UpdateResult::WriteFailed) {
    update["bytes_written"] = nullptr;
  } else {
    update["bytes_written"] = allWritten ? writeLength : 0;
  }
  update["seconds"] = run.seconds;
  update["message"] = run.window.ErrorShown() ? run.window.LastError() : run.window.LastNotice();
  return update;
}

void UpdateOne(BridgeRun& run, const zq::ImageBuffer& image, const zq::FileChoice& choice,
               bool verify) {
  const auto start = std::chrono::steady_clock::now();
  run.window.verify = verify;
  run.dialog->UseLoadedImage(image, choice);
  run.dialog->OnUpdate();
  run.status = zq::cli::ExitStatusOf(run.dialog->LastUpdate());
  if (run.dialog->LastUpdate() == zq::UpdateResult::StoppedAfterWrite) {
    run.window.Say("Stopped after writing: the flash holds the new image, not verified.");
  } else if (run.status == zq::cli::EXIT_AFTER_ERASE) {
    run.window.Say("zq5210: the bridge may hold no working firmware now; run the update again");
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool ConfirmAll(const std::vector<FoundBridge>& found) {
  std::string names;
  for (const FoundBridge& bridge : found) {
    names += (names.empty() ? "" : ", ") + bridge.bridge->Name();
  }
  zq::cli::TerminalWindow asking(stdout, stderr, false);
  return asking.Confirm("Erase and rewrite the firmware of " + names + "?");
}

int RunUpdate(const OperationArgs& args, const zq::cli::DeviceOptions& options,
              zq::cli::Devices& devices, std::vector<FoundBridge> found,
              const zq::ImageBuffer& image) {
  const bool named = !options.devices.empty();
  if (!args.all && !named && !OnlyOne(found)) return EXIT_FAILED;
  if (found.empty()) {
    BridgeRun run(FoundBridge{}, devices, stdout, false, "", {});
    run.dialog->UseLoadedImage(image, zq::ChoiceForPath(args.path, &zq::cli::IsPathLeadByte));
    run.dialog->OnUpdate();
    SayWhyNone(devices);
    TheReport().Message(run.window.LastError());
    TheReport().Body()["result"] = "failed";
    return EXIT_FAILED;
  }
  const bool several = found.size() > 1;
  if (several && !args.backup.empty()) {
    std::fprintf(stderr, "zq5210: --backup takes one bridge\n");
    return EXIT_USAGE;
  }
  // every chosen bridge must be usable before any is touched
  std::vector<std::string> unusable = args.all ? devices.Problems() : std::vector<std::string>{};
  for (const FoundBridge& bridge : found) {
    std::string problem;
    if (!devices.Unmounted(bridge, problem)) unusable.push_back(problem);
    if (several && bridge.bridge->Info().accessFlag == 0) {
      unusable.push_back(bridge.bridge->Name() + ": Can't access the chip.(Be rejected!)");
    }
  }
  if (!unusable.empty()) {
    Failed("nothing was touched; not usable:");
    for (const std::string& line : unusable) {
      std::fprintf(stderr, "  %s\n", zq::cli::EscapeControls(line).c_str());
    }
    return EXIT_FAILED;
  }
  const bool ask = !args.yes && zq::cli::StdinIsTerminal();
  if (several && ask && !ConfirmAll(found)) return Failed("not confirmed; nothing changed");

  zq::cli::UpdateChoices choices;
  choices.rewrite = args.rewrite;
  choices.backupPath = args.backup;
  choices.ask = ask && !several;
  std::vector<std::unique_ptr<BridgeRun>> runs;
  for (FoundBridge& bridge : found) {
    SayDevice(bridge);
    const std::string prefix = several ? bridge.bridge->Name() + ": " : "";
    runs.push_back(std::make_unique<BridgeRun>(std::move(bridge), devices, TheReport().Results(),
                                               !several && zq::cli::StderrIsTerminal(), prefix,
                                               choices));
    runs.back()->window.labelStream = stderr;
  }
  const zq::FileChoice choice = zq::ChoiceForPath(args.path, &zq::cli::IsPathLeadByte);
  const bool verify = !args.noVerify;
  if (!several || options.transport == "aspi") {
    // the ASPI layer is driven from one thread
    for (auto& run : runs) UpdateOne(*run, image, choice, verify);
  } else {
    std::vector<std::function<void()>> jobs;
    for (auto& run : runs) {
      jobs.emplace_back(
          [&run, &image, &choice, verify] { UpdateOne(*run, image, choice, verify); });
    }
    zq::cli::RunTogether(jobs);
  }

  int status = EXIT_OK;
  const uint32_t writeLength = std::min(image.codeSize, zq::LARGEST_WRITE);
  nlohmann::json& body = TheReport().Body();
  nlohmann::json& updates = body["updates"] = nlohmann::json::array();
  for (auto& run : runs) {
    status = Worst(status, run->status);
    updates.push_back(UpdateJson(*run, verify, writeLength));
    double modelled = 0;
    if (devices.ModelledSeconds(run->name, modelled)) updates.back()["modelled_seconds"] = modelled;
  }
  // the first bridge's outcome stands for the command; every one is in "updates"
  for (const char* key : {"device", "result", "verified", "bytes_written"}) {
    body[key] = updates[0][key];
  }
  if (!args.backup.empty()) body["backup"] = args.backup;
  TheReport().Message(updates[0]["message"]);
  if (!several) {
    if (status == EXIT_OK) runs[0]->window.FlushNotices();
    return status;
  }
  std::FILE* results = TheReport().Results();
  std::fprintf(results, "%-24s %-10s %8s\n", "DEVICE", "RESULT", "TIME");
  for (auto& run : runs) {
    std::fprintf(results, "%-24s %-10s %7.2fs  %s\n", zq::cli::EscapeControls(run->name).c_str(),
                 ResultWord(*run).c_str(), run->seconds,
                 zq::cli::EscapeControls(run->window.LastError()).c_str());
  }
  // several bridges: the command's outcome is theirs together
  size_t failed = 0;
  bool verifiedAll = true;
  for (const nlohmann::json& update : updates) {
    failed += update["result"] == "failed" ? 1 : 0;
    verifiedAll = verifiedAll && update["verified"] == true;
  }
  body["device"] = nullptr;
  body["bytes_written"] = nullptr;
  body["result"] = failed == 0 ? "updated" : "failed";
  body["verified"] = verifiedAll;
  TheReport().Message(failed == 0 ? "Updated OK!"
                                  : std::to_string(failed) + " of " +
                                        std::to_string(updates.size()) + " bridges failed");
  return status;
}

int RunOperation(const OperationArgs& args, const zq::cli::DeviceOptions& options) {
  // what the user asked of files is settled before any device is touched
  if (args.operation == Operation::ReadRom && !args.force && zq::cli::WouldReplace(args.path)) {
    return Failed(Quoted(args.path) + " exists; pass --force to replace it");
  }
  if (!args.backup.empty() && !args.force && zq::cli::WouldReplace(args.backup)) {
    return Failed(Quoted(args.backup) + " exists; pass --force to replace it");
  }
  auto files = zq::cli::MakeFilePort();
  auto image = std::make_unique<zq::ImageBuffer>();
  if (args.operation == Operation::Update) {
    if (!LoadImage(*files, args.path, *image)) return EXIT_FAILED;
    if (image->codeSize > zq::LARGEST_WRITE) {
      if (!args.allowTruncate) {
        return Failed(Quoted(args.path) + " holds " + std::to_string(image->codeSize) +
                      " bytes; the bridge takes at most 32768 (pass --allow-truncate to write "
                      "the first 32768)");
      }
      Failed("warning: writing only the first 32768 of the image's " +
             std::to_string(image->codeSize) + " bytes");
    }
  }

  zq::cli::Devices devices;
  std::vector<FoundBridge> found;
  int status = EXIT_OK;
  if (!FindChosen(options, *files, devices, found, status)) return status;

  switch (args.operation) {
    case Operation::Info:
      return RunInfo(options, devices, std::move(found));
    case Operation::ReadRom:
      return RunReadRom(args, devices, std::move(found));
    case Operation::Update:
      break;
  }
  return RunUpdate(args, options, devices, std::move(found), *image);
}

constexpr const char* USAGE =
    "usage: zq5210 check IMAGE [--output FILE] [--force] [--json]\n"
    "       zq5210 list [DEVICE] [--json]\n"
    "       zq5210 info [DEVICE] [--json]\n"
    "       zq5210 update IMAGE [--no-verify] [--rewrite] [--backup FILE] [--force]\n"
    "                     [--allow-truncate] [--yes] [--all] [DEVICE] [--json]\n"
    "       zq5210 read-rom OUTPUT [--force] [DEVICE] [--json]\n"
    "DEVICE: [--device D]... [--transport pass-through|aspi] [--emulate [--emulate-bridges N]\n"
    "        [--emulate-flash FILE]... [--emulate-record HEX] [--emulate-busy N]\n"
    "        [--emulate-fault [K:]F]... [--emulate-timing]]\n";

int Parse(int argc, char** argv) {
  CLI::App app{"zq5210: firmware updater for ZQ5210 USB-to-storage bridges"};
  app.require_subcommand(1);
  app.footer(EXIT_STATUS_TEXT);
  // the release, and the checkout it was built from when there was one
  app.set_version_flag("--version",
                       std::string("zq5210 " ZQ_VERSION) +
                           (*ZQ_GIT_DESCRIPTION ? " (git " ZQ_GIT_DESCRIPTION ")" : ""));

  CheckArgs checkArgs;
  CLI::App* check = app.add_subcommand("check", "load an image as the window would and report it");
  check->add_option("IMAGE", checkArgs.image, "firmware image (.bin or .hex)")
      ->required()
      ->check(NON_EMPTY);
  check
      ->add_option("--output", checkArgs.output,
                   "write the loaded code bytes to FILE (- for "
                   "standard output)")
      ->check(NON_EMPTY);
  check->add_flag("--force", checkArgs.force, "replace FILE if it exists");
  bool json = false;
  check->add_flag("--json", json, "print one JSON object on standard output");

  zq::cli::DeviceOptions options;
  OperationArgs args;
  CLI::App* list = app.add_subcommand("list", "list the bridges attached");
  AddDeviceOptions(*list, options, json);
  CLI::App* info = app.add_subcommand("info", "find the bridge and show its chip information");
  AddDeviceOptions(*info, options, json);

  CLI::App* update = app.add_subcommand("update", "write IMAGE into the bridge's flash");
  update->add_option("IMAGE", args.path, "firmware image (.bin or .hex)")
      ->required()
      ->check(NON_EMPTY);
  bool verifyFlag = false;  // the default; kept for scripts that ask for it
  update->add_flag("--verify", verifyFlag, "read the flash back and compare (the default)");
  update->add_flag("--no-verify", args.noVerify, "skip reading the flash back");
  update->add_flag("--rewrite", args.rewrite, "write even when the flash already holds IMAGE");
  update->add_option("--backup", args.backup, "save the whole flash to FILE before erasing")
      ->check(NON_EMPTY);
  update->add_flag("--force", args.force, "replace the backup FILE if it exists");
  update->add_flag("--allow-truncate", args.allowTruncate,
                   "write the first 32768 bytes of a longer image");
  update->add_flag("--yes", args.yes, "do not ask before erasing");
  update->add_flag("--all", args.all, "update every bridge attached, all at once");
  AddDeviceOptions(*update, options, json);

  CLI::App* readRom = app.add_subcommand("read-rom", "read the bridge's flash into OUTPUT");
  readRom->add_option("OUTPUT", args.path, "file to write (- for standard output)")
      ->required()
      ->check(NON_EMPTY);
  readRom->add_flag("--force", args.force, "replace OUTPUT if it exists");
  AddDeviceOptions(*readRom, options, json);

  // a word that names no command is said to be unknown, not "unexpected"
  if (argc > 1 && argv[1][0] != '-') {
    const std::string word = argv[1];
    if (word != "check" && word != "list" && word != "info" && word != "update" &&
        word != "read-rom") {
      std::fprintf(stderr, "zq5210: unknown command '%s'\n%s",
                   zq::cli::EscapeControls(word).c_str(), USAGE);
      return EXIT_USAGE;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zq5210: %s\n%s", zq::cli::EscapeControls(e.what()).c_str(), USAGE);
    return EXIT_USAGE;
  }
  TheReport().UseJson(json);
  if (args.all && !options.devices.empty()) {
    std::fprintf(stderr, "zq5210: --all and --device exclude each other\n%s", USAGE);
    return EXIT_USAGE;
  }

  if (check->parsed()) return RunCheck(checkArgs);
  if (list->parsed()) return RunList(options);
  if (info->parsed()) args.operation = Operation::Info;
  if (update->parsed()) args.operation = Operation::Update;
  if (readRom->parsed()) args.operation = Operation::ReadRom;
  return RunOperation(args, options);
}

}  // namespace

int main(int argc, char** argv) {
  zq::cli::InstallStopHandlers();
  int status = Parse(argc, argv);
  TheReport().Finish(status);
  // results that never reached their reader are no success
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zq5210: cannot write to standard output: %s\n", std::strerror(errno));
    if (status == EXIT_OK) status = EXIT_FAILED;
  }
  return status;
}
