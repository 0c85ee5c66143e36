// One bridge's window behind the terminal: the dialog, its terminal view and
// its files, and what its update came to.
#pragma once

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/updater_dialog.h"
#include "cli/devices.h"
#include "cli/safe_update.h"
#include "cli/terminal_window.h"

namespace zq::cli {

// How one bridge's update ended, as the summary and --json say it.
enum class UpdateOutcome { Updated, Unchanged, Stopped, Failed };
UpdateOutcome OutcomeOf(UpdateResult result);
const char* OutcomeWord(UpdateOutcome outcome);

struct BridgeRun {
  // `chosen` may hold no bridge: the window's own "not found" texts follow.
  BridgeRun(FoundBridge chosen, Devices& devices, std::FILE* out, bool bar, std::string prefix,
            UpdateChoices choices = {});

  void ShowChipInfo() { dialog->ShowChipInfoOf(std::move(found.bridge)); }
  void ReadRom() { dialog->ReadRomOf(std::move(found.bridge)); }
  // Updates the bridge with `image`, timing it.
  void Update(const ImageBuffer& image, const FileChoice& choice, bool verify);

  // What --json tells of this bridge's update.
  nlohmann::json UpdateJson(bool verify, uint32_t writeLength) const;

  std::unique_ptr<FilePort> files;
  TerminalWindow window;
  FoundBridge found;  // its bridge goes to the dialog when the operation starts
  std::string name;
  SafeUpdateCheck check;
  std::unique_ptr<UpdaterDialog> dialog;
  int status = 0;
  double seconds = 0;
  std::string finalText;  // the command line's own last word, when it had one
};

}  // namespace zq::cli
