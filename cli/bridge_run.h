// One bridge's operation on the terminal: its view, its files, its safety
// checks, and what its update came to.
#pragma once

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/bridge_operations.h"
#include "app/update_result.h"
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
  // The chip's labels go to `chipInfo` (null: nowhere).
  BridgeRun(FoundBridge chosen, Devices& devices, std::FILE* out, bool bar, std::string prefix,
            std::FILE* chipInfo, UpdateChoices choices = {});

  // Each operation closes the bridge's device once done; false when it
  // showed an error.
  bool ShowChipInfo();
  bool ReadRom(const std::string& path);
  // Updates the bridge with `image`, timing it.
  void Update(const ImageBuffer& image, bool verify);

  // What --json tells of this bridge's update.
  nlohmann::json UpdateJson(bool verify, uint32_t writeLength) const;

  std::unique_ptr<FilePort> files;
  TerminalView view;
  FoundBridge found;  // its bridge goes once its operation has run
  std::string name;
  std::string firmwareBefore;  // the version the chip reported when found
  bool passThroughPath;
  SafeUpdateCheck check;
  BridgeOperations operations;
  UpdateResult result = UpdateResult::NotRun;
  int status = 0;
  double seconds = 0;
  std::string finalText;  // the command line's own last word, when it had one
};

}  // namespace zq::cli
