#include "cli/commands.h"

#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/options.h"

namespace zq::cli {
namespace {

const Command COMMANDS[] = {
    {"check", "load an image as the window would and report it", "IMAGE [--output FILE] [--force]",
     &MakeCheckCommand},
    {"list", "list the bridges attached", "[DEVICE]", &MakeListCommand},
    {"info", "find the bridge and show its chip information", "[DEVICE]", &MakeInfoCommand},
    {"update", "write IMAGE into the bridge's flash",
     "IMAGE [--no-verify] [--rewrite] [--backup FILE] [--force]\n"
     "                     [--allow-truncate] [--yes] [--all] [--dismount] [DEVICE]",
     &MakeUpdateCommand},
    {"read-rom", "read the bridge's flash into OUTPUT", "OUTPUT [--force] [DEVICE]",
     &MakeReadRomCommand},
};

constexpr const char* DEVICE_USAGE =
    "DEVICE: [--device D]... [--transport pass-through|aspi] [--verbose]\n"
    "        [--emulate [--emulate-bridges N] [--emulate-flash FILE]... [--emulate-record HEX]\n"
    "        [--emulate-busy N] [--emulate-fault [K:]F]... [--emulate-timing]]\n";

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

}  // namespace zq::cli
