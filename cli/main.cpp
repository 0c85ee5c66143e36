// zq5210: the updater driven from the command line. The same window
// behaviour runs behind it; the terminal stands in for the window.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "cli/host_bindings.h"
#include "cli/terminal_window.h"
#include "emulator/emulated_platform.h"
#include "emulator/emulated_setup.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct DeviceOptions {
  std::string transport = "pass-through";
  bool emulate = false;
  std::string flashFile;
  std::optional<std::string> record;  // unset: the chip's own defaults
  std::optional<uint32_t> busy;
  std::vector<std::string> faults;
};

void AddDeviceOptions(CLI::App& command, DeviceOptions& options) {
  command.add_option("--transport", options.transport, "pass-through (default) or aspi")
      ->check(CLI::IsMember({"pass-through", "aspi"}));
  CLI::Option* emulate = command.add_flag("--emulate", options.emulate, "use the emulated bridge");
  command
      .add_option("--emulate-flash", options.flashFile,
                  "keep the emulated flash in FILE between runs (created erased)")
      ->needs(emulate);
  command
      .add_option("--emulate-record", options.record,
                  "the emulated chip-information record, 24 hex digits")
      ->needs(emulate);
  command.add_option("--emulate-busy", options.busy, "busy answers after each erase")
      ->needs(emulate);
  command
      .add_option("--emulate-fault", options.faults,
                  "write:N read:N lie-write:N flip:ADDR erase stuck status info vanish:N")
      ->needs(emulate);
}

// This system's storage stack, with the transport the user chose in place
// of the one its platform family would pick.
class TransportChoicePlatform final : public zq::Platform {
 public:
  TransportChoicePlatform(std::unique_ptr<zq::Platform> real, uint32_t platformId)
      : real_(std::move(real)), platformId_(platformId) {}
  uint32_t GetPlatformId() override { return platformId_; }
  bool LoadAspiLibrary() override { return real_->LoadAspiLibrary(); }
  bool BindAspiEntryPoint(const char* name) override { return real_->BindAspiEntryPoint(name); }
  void FreeAspiLibrary() override { real_->FreeAspiLibrary(); }
  zq::AspiLayer& Aspi() override { return real_->Aspi(); }
  zq::PassThroughPort& PassThrough() override { return real_->PassThrough(); }

 private:
  std::unique_ptr<zq::Platform> real_;
  uint32_t platformId_;
};

// The platform the window runs on: the emulated bridge, or this system's
// storage stack with the transport the user chose.
class Host {
 public:
  bool Prepare(const DeviceOptions& options) {
    const uint32_t platformId =
        options.transport == "aspi" ? zq::VER_PLATFORM_WIN32_WINDOWS : zq::VER_PLATFORM_WIN32_NT;
    if (!options.emulate) {
      platform_ =
          std::make_unique<TransportChoicePlatform>(zq::cli::MakeRealPlatform(), platformId);
      return true;
    }
    auto emulated = std::make_unique<zq::EmulatedPlatform>(platformId);
    zq::BridgeDevice& chip = emulated->Chip();
    if (options.record && !zq::ParseRecordHex(*options.record, chip.Record())) {
      std::fprintf(stderr, "zq5210: --emulate-record takes 24 hex digits\n");
      return false;
    }
    if (options.busy) chip.SetBusyAnswers(*options.busy);
    for (const std::string& fault : options.faults) {
      if (!zq::ParseFault(fault, chip.Faults())) {
        std::fprintf(stderr, "zq5210: unknown --emulate-fault '%s'\n", fault.c_str());
        return false;
      }
    }
    if (!options.flashFile.empty() && !zq::LoadFlashFile(options.flashFile, chip.Flash())) {
      std::fprintf(stderr, "zq5210: cannot use '%s' as the emulated flash\n",
                   options.flashFile.c_str());
      return false;
    }
    flashFile_ = options.flashFile;
    emulated_ = emulated.get();
    platform_ = std::move(emulated);
    return true;
  }

  // Keeps what the emulated flash now holds.
  bool Finish() {
    if (emulated_ == nullptr || flashFile_.empty()) return true;
    if (zq::SaveFlashFile(flashFile_, emulated_->Chip().Flash())) return true;
    std::fprintf(stderr, "zq5210: cannot save the emulated flash to '%s'\n", flashFile_.c_str());
    return false;
  }

  zq::Platform& Platform() { return *platform_; }

 private:
  std::unique_ptr<zq::Platform> platform_;
  zq::EmulatedPlatform* emulated_ = nullptr;
  std::string flashFile_;
};

int RunCheck(const std::string& imagePath, const std::string& outputPath) {
  auto files = zq::cli::MakeFilePort();
  zq::EmulatedPlatform unused(zq::VER_PLATFORM_WIN32_NT);  // loading touches no device
  zq::cli::TerminalWindow window(stdout, stderr, false);
  auto dialog = std::make_unique<zq::UpdaterDialog>(window, *files, unused);
  window.openPath = imagePath;
  dialog->OnLoadFile();
  if (window.ErrorShown()) return EXIT_FAILED;
  std::printf("%s\n", zq::cli::LabelLine(window.CodeSizeLabel()).c_str());
  if (outputPath.empty()) return EXIT_OK;

  const zq::ImageBuffer& image = dialog->Image();
  std::unique_ptr<zq::OutputFile> output = files->CreateForWrite(outputPath);
  uint32_t written = 0;
  if (!output || !output->Write(image.data.data(), image.codeSize, written) ||
      written != image.codeSize || !output->Commit()) {
    std::fprintf(stderr, "zq5210: cannot write '%s'\n", outputPath.c_str());
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

enum class Operation { Info, Update, ReadRom };

struct OperationArgs {
  Operation operation = Operation::Info;
  std::string path;
  bool verify = false;
  bool force = false;
};

int RunOperation(const OperationArgs& args, const DeviceOptions& options) {
  // the answer to the overwrite prompt is known before the device is touched
  if (args.operation == Operation::ReadRom && !args.force && zq::cli::FileExists(args.path)) {
    std::fprintf(stderr, "zq5210: '%s' exists; pass --force to replace it\n", args.path.c_str());
    return EXIT_FAILED;
  }
  Host host;
  if (!host.Prepare(options)) return EXIT_USAGE;
  auto files = zq::cli::MakeFilePort();
  zq::cli::TerminalWindow window(stdout, stderr, zq::cli::StderrIsTerminal());
  auto dialog = std::make_unique<zq::UpdaterDialog>(window, *files, host.Platform());
  if (dialog->OnCreate() != 0) return EXIT_FAILED;
  dialog->OnInitDialog();

  switch (args.operation) {
    case Operation::Info:
      window.labelStream = stdout;
      dialog->OnShowChipInfo();
      break;
    case Operation::Update:
      window.openPath = args.path;
      dialog->OnLoadFile();
      if (window.ErrorShown()) return EXIT_FAILED;
      window.labelStream = stderr;
      window.verify = args.verify;
      dialog->OnUpdate();
      break;
    case Operation::ReadRom:
      window.savePath = args.path;
      window.labelStream = stderr;
      dialog->OnReadRom();
      break;
  }
  const bool saved = host.Finish();
  if (window.ErrorShown() && !options.emulate && zq::cli::DeviceAccessWasDenied()) {
    std::fprintf(stderr,
                 "zq5210: a device refused access: run zq5210 from an elevated prompt "
                 "(\"Run as administrator\")\n");
  }
  return window.ErrorShown() || !saved ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zq5210: firmware updater for ZQ5210 USB-to-storage bridges"};
  app.require_subcommand(1);

  std::string checkImage;
  std::string checkOutput;
  CLI::App* check = app.add_subcommand("check", "load an image as the window would and report it");
  check->add_option("IMAGE", checkImage, "firmware image (.bin or .hex)")->required();
  check->add_option("--output", checkOutput, "write the loaded code bytes to FILE");

  DeviceOptions options;
  OperationArgs args;
  CLI::App* info = app.add_subcommand("info", "find the bridge and show its chip information");
  AddDeviceOptions(*info, options);

  CLI::App* update = app.add_subcommand("update", "write IMAGE into the bridge's flash");
  update->add_option("IMAGE", args.path, "firmware image (.bin or .hex)")->required();
  update->add_flag("--verify", args.verify, "read the flash back and compare");
  AddDeviceOptions(*update, options);

  CLI::App* readRom = app.add_subcommand("read-rom", "read the bridge's flash into OUTPUT");
  readRom->add_option("OUTPUT", args.path, "file to write")->required();
  readRom->add_flag("--force", args.force, "replace OUTPUT if it exists");
  AddDeviceOptions(*readRom, options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zq5210: %s\n", e.what());
    std::fprintf(stderr,
                 "usage: zq5210 check IMAGE [--output FILE]\n"
                 "       zq5210 info [DEVICE]\n"
                 "       zq5210 update IMAGE [--verify] [DEVICE]\n"
                 "       zq5210 read-rom OUTPUT [--force] [DEVICE]\n"
                 "DEVICE: [--transport pass-through|aspi] [--emulate [--emulate-flash FILE]\n"
                 "        [--emulate-record HEX] [--emulate-busy N] [--emulate-fault F]...]\n");
    return EXIT_USAGE;
  }

  if (check->parsed()) return RunCheck(checkImage, checkOutput);
  if (info->parsed()) args.operation = Operation::Info;
  if (update->parsed()) args.operation = Operation::Update;
  if (readRom->parsed()) args.operation = Operation::ReadRom;
  return RunOperation(args, options);
}
