// The command line's look at the flash before erasing: nothing to do, a
// backup, a question; and its steps around an update (adaptive polls, stop
// requests held while the flash is rewritten).
#pragma once

#include <string>

#include "app/update_steps.h"
#include "cli/terminal_window.h"
#include "image/file_port.h"

namespace zq::cli {

struct UpdateChoices {
  bool rewrite = false;    // write even when the flash already holds the image
  std::string backupPath;  // save the whole flash here first; empty: no backup
  bool ask = false;        // ask on the terminal before erasing
};

class SafeUpdateCheck final : public EraseCheck {
 public:
  SafeUpdateCheck(TerminalView& view, FilePort& files, UpdateChoices choices)
      : view_(view), files_(files), choices_(std::move(choices)) {}

  EraseVerdict BeforeErase(Bridge& bridge, const uint8_t* code, uint32_t length) override;

  // Polled often enough to see the erase end within a few milliseconds, with
  // the process's stop requests held.
  UpdateSteps Steps();

 private:
  void Refuse(const std::string& text);

  TerminalView& view_;
  FilePort& files_;
  UpdateChoices choices_;
};

}  // namespace zq::cli
