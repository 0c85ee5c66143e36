// The command line's own steps around an update: the bridge it chose, a
// look at the flash before erasing (nothing to do, a backup, a question),
// stop requests held while the flash is being rewritten, adaptive polls.
#pragma once

#include <memory>
#include <string>

#include "app/updater_dialog.h"
#include "cli/terminal_window.h"

namespace zq::cli {

struct UpdateChoices {
  bool rewrite = false;    // write even when the flash already holds the image
  std::string backupPath;  // save the whole flash here first; empty: no backup
  bool ask = false;        // ask on the terminal before erasing
};

class CommandHooks final : public OperationHooks {
 public:
  CommandHooks(std::unique_ptr<Bridge> bridge, TerminalWindow& window, FilePort& files,
               UpdateChoices choices)
      : bridge_(std::move(bridge)), window_(window), files_(files), choices_(std::move(choices)) {}

  std::unique_ptr<Bridge> ChooseBridge(ChipInfo& chipInfo) override;
  EraseVerdict BeforeErase(Bridge& bridge, const uint8_t* code, uint32_t length) override;
  void HoldStops(bool hold) override;
  bool StopRequested() override;
  const ErasePolling& Polling() override { return ADAPTIVE_ERASE_POLLING; }

 private:
  void Refuse(const std::string& text);

  std::unique_ptr<Bridge> bridge_;
  TerminalWindow& window_;
  FilePort& files_;
  UpdateChoices choices_;
};

// Reads `length` bytes from address 0 in blocks; false at the first failure.
bool ReadFlash(Bridge& bridge, uint32_t length, uint8_t* into);

// Failed once the erase had begun: the bridge may hold no working firmware.
constexpr int EXIT_AFTER_ERASE = 3;

// The exit status of one bridge's update: 0 done (or nothing to do), 1 failed
// with the flash unchanged, 3 failed after the erase began, 130 stopped.
int ExitStatusOf(UpdateResult result);

}  // namespace zq::cli
