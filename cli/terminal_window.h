// What an operation shows, on a terminal: status texts and chip labels
// become lines, the progress bar a bar drawn on the terminal, errors one
// line each and notices lines held back until the command has succeeded.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/operation_view.h"
#include "image/file_port.h"

namespace zq::cli {

class TerminalView final : public OperationView {
 public:
  // Lines for people go to `err`, prefixed by `prefix` (a device name when
  // several bridges share the terminal); notices wait for `FlushNotices`;
  // the chip's labels go to `chipInfo` (null: nowhere).
  TerminalView(std::FILE* out, std::FILE* err, bool drawProgress, std::string prefix = "",
               std::FILE* chipInfo = nullptr)
      : out_(out),
        err_(err),
        drawProgress_(drawProgress),
        prefix_(std::move(prefix)),
        chipInfo_(chipInfo) {}

  void ShowStatus(const std::string& text) override;
  void BeginProgress() override;
  void ShowProgress(uint8_t pos) override;
  void HideProgress() override;
  void ShowChipInfo(const ChipInfo& info) override;
  void ShowError(const std::string& text) override;
  void ShowNotice(const std::string& text) override;

  // After a failed file step, the system's reason is printed below the error.
  void WatchFileFailures(const FilePort* files);
  // Hands what the operation shows to `watcher` (a station's line for the
  // bridge) instead of printing it; errors and notices are still kept.
  void HandTo(OperationView* watcher) { watcher_ = watcher; }
  // A line of the command line's own on the people's stream.
  void Say(const std::string& text);
  // Asks on the terminal; true only for a yes typed there.
  bool Confirm(const std::string& question);
  // Notices are shown only once the whole command has succeeded.
  void FlushNotices();

  bool ErrorShown() const { return !lastError_.empty(); }
  const std::string& LastError() const { return lastError_; }
  const std::string& LastNotice() const { return lastNotice_; }

 private:
  void Line(std::FILE* stream, const std::string& text);
  void ClearBar();
  void DrawBar();

  std::FILE* out_;
  std::FILE* err_;
  bool drawProgress_;
  std::string prefix_;
  std::FILE* chipInfo_;
  bool barVisible_ = false;
  bool barDrawn_ = false;
  int pos_ = 0;
  std::string lastError_;
  std::string lastNotice_;
  std::vector<std::string> notices_;
  const FilePort* files_ = nullptr;
  std::string seenFailure_;
  OperationView* watcher_ = nullptr;
};

// The label text as a line: without its leading blank.
std::string LabelLine(const std::string& label);

// Text from outside (names, device texts) made safe for a terminal: control
// characters are shown as \xNN.
std::string EscapeControls(const std::string& text);

}  // namespace zq::cli
