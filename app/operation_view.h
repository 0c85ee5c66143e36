// What an operation on a bridge shows while it runs: a status line, a
// progress bar from 0 to 100, the chip's information and its final word.
// The window maps it onto its controls; the command line onto a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/vendor_commands.h"

namespace zq {

class OperationView {
 public:
  // An empty text clears the line.
  virtual void ShowStatus(const std::string& text) = 0;
  // The bar is set to 0 of 0..100 and shown.
  virtual void BeginProgress() = 0;
  virtual void ShowProgress(uint8_t pos) = 0;
  virtual void HideProgress() = 0;
  virtual void ShowChipInfo(const ChipInfo& info) = 0;
  // Both wait until the user has seen them, where there is a user to wait for.
  virtual void ShowError(const std::string& text) = 0;
  virtual void ShowNotice(const std::string& text) = 0;

 protected:
  ~OperationView() = default;
};

}  // namespace zq
