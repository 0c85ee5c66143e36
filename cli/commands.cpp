#include "cli/commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/terminal_window.h"

namespace zq::cli {
namespace {

const Command COMMANDS[] = {
    {"check", "load an image as the window would and report it", "IMAGE [--output FILE] [--force]",
     &MakeCheckCommand},
    {"list", "list the bridges attached", "[DEVICE]", &MakeListCommand},
    {"info", "find the bridge and show its chip information", "[DEVICE]", &MakeInfoCommand},
    {"update", "write IMAGE into the bridge's flash",
     "IMAGE [--no-verify] [--rewrite] [--backup FILE] [--force]\n"
     "                     [--allow-truncate] [--yes] [--all | --watch [--count N]] [--log FILE]\n"
     "                     [--dismount] [DEVICE]",
     &MakeUpdateCommand},
    {"read-rom", "read the bridge's flash into OUTPUT", "OUTPUT [--force] [DEVICE]",
     &MakeReadRomCommand},
};

constexpr const char* DEVICE_USAGE =
    "DEVICE: [--device D]... [--transport pass-through|aspi] [--verbose]\n"
    "        [--emulate [--emulate-bridges N] [--emulate-flash FILE]... [--emulate-record HEX]\n"
    "        [--emulate-busy N] [--emulate-fault [K:]F]... [--emulate-timing]\n"
    "        [--emulate-plug K@SECONDS,K-@SECONDS,...]]\n";

}  // namespace

void BridgeCommand::AddOptions(CLI::App& command) {
  AddOwnOptions(command);
  AddJsonFlag(command, json);
  AddDeviceOptions(command, options);
}

int BridgeCommand::Run() {
  const int ready = Ready();
  if (ready != EXIT_OK) return ready;
  Devices devices;
  std::vector<FoundBridge> found;
  int status = EXIT_OK;
  if (Waits()) return OpenDevices(options, devices, status) ? Watch(devices) : status;
  if (!FindChosen(options, devices, found, status)) return status;
  return RunOn(devices, std::move(found));
}

std::span<const Command> Commands() {
  return COMMANDS;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : COMMANDS) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string UsageText() {
  std::string text;
  for (const Command& command : COMMANDS) {
    text += text.empty() ? "usage: " : "       ";
    text += std::string("zq5210 ") + command.name + " " + command.synopsis + " [--json]\n";
  }
  return text + DEVICE_USAGE;
}

int ParseAndRun(int argc, char** argv, const std::string& version) {
  CLI::App app{"zq5210: firmware updater for ZQ5210 USB-to-storage bridges"};
  app.require_subcommand(1);
  app.footer(EXIT_STATUS_TEXT);
  // the release, and the checkout it was built from when there was one
  app.set_version_flag("--version", version);

  struct Entry {
    CLI::App* parsed;
    std::unique_ptr<CommandRun> run;
  };
  std::vector<Entry> entries;
  for (const Command& command : Commands()) {
    Entry entry{app.add_subcommand(command.name, command.summary), command.make()};
    entry.run->AddOptions(*entry.parsed);
    entries.push_back(std::move(entry));
  }

  // a script that asked for JSON gets its object even when the words are wrong
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json") TheReport().UseJson(true);
  }
  // a word that names no command is said to be unknown, not "unexpected"
  if (argc > 1 && argv[1][0] != '-' && FindCommand(argv[1]) == nullptr) {
    std::fprintf(stderr, "zq5210: unknown command '%s'\n%s", EscapeControls(argv[1]).c_str(),
                 UsageText().c_str());
    TheReport().Message(std::string("unknown command '") + argv[1] + "'");
    return EXIT_USAGE;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zq5210: %s\n%s", EscapeControls(e.what()).c_str(), UsageText().c_str());
    TheReport().Message(e.what());
    return EXIT_USAGE;
  }
  for (Entry& entry : entries) {
    if (!entry.parsed->parsed()) continue;
    TheReport().UseJson(entry.run->json);
    return entry.run->Run();
  }
  return EXIT_USAGE;  // require_subcommand has refused this already
}

}  // namespace zq::cli
