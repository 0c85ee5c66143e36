// The command line's commands: one table that the parser, the usage text
// and the unknown-command check are built from; each command in a file of
// its own.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/devices.h"

namespace CLI {
class App;
}

namespace zq::cli {

// One command's options, filled by the parser, and its work.
class CommandRun {
 public:
  virtual ~CommandRun() = default;
  virtual void AddOptions(CLI::App& command) = 0;
  // The exit status.
  virtual int Run() = 0;
  bool json = false;
};

// A command that works on the bridges chosen by the device options.
class BridgeCommand : public CommandRun {
 public:
  // Its own options, then --json and the device options.
  void AddOptions(CLI::App& command) final;
  int Run() final;

 protected:
  virtual void AddOwnOptions(CLI::App&) {}
  // What the user asked of files is settled before any device is touched:
  // EXIT_OK goes on, anything else is the exit status.
  virtual int Ready() { return 0; }
  virtual int RunOn(Devices& devices, std::vector<FoundBridge> found) = 0;
  // A command that waits for bridges to come rather than taking those
  // attached: handed the devices unsearched. Null: it takes those attached.
  virtual bool Waits() const { return false; }
  virtual int Watch(Devices&) { return 0; }

  DeviceOptions options;
};

struct Command {
  const char* name;
  const char* summary;
  const char* synopsis;  // what follows the name in the usage text
  std::unique_ptr<CommandRun> (*make)();
};

std::span<const Command> Commands();
// Null for a word that names no command.
const Command* FindCommand(const std::string& name);
std::string UsageText();

// Parses the arguments and runs the command they name: the exit status.
// VERSION is what --version prints.
int ParseAndRun(int argc, char** argv, const std::string& version);

std::unique_ptr<CommandRun> MakeCheckCommand();
std::unique_ptr<CommandRun> MakeListCommand();
std::unique_ptr<CommandRun> MakeInfoCommand();
std::unique_ptr<CommandRun> MakeUpdateCommand();
std::unique_ptr<CommandRun> MakeReadRomCommand();

}  // namespace zq::cli
