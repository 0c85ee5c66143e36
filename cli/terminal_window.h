// The window as a terminal: status texts and labels become lines, the
// progress bar a bar on a terminal, message boxes one line each, and the
// file dialogs the paths given on the command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/window_port.h"
#include "image/file_port.h"

namespace zq::cli {

class TerminalWindow : public WindowPort {
 public:
  // Lines for people go to `err`, prefixed by `prefix` (a device name when
  // several bridges share the terminal); notices wait for `FlushNotices`.
  TerminalWindow(std::FILE* out, std::FILE* err, bool drawProgress, std::string prefix = "")
      : out_(out), err_(err), drawProgress_(drawProgress), prefix_(std::move(prefix)) {}

  void SetControlText(int controlId, const std::string& text) override;
  void SetTitle(const std::string&) override {}
  void EnableControl(int, bool) override {}
  void ShowControl(int controlId, bool show) override;
  void SetProgressRange(int, uint16_t, uint16_t) override {}
  void SetProgressPos(int controlId, int pos) override;
  bool IsChecked(int controlId) override;
  void ShowBox(const std::string& text, const std::string& caption, BoxKind kind) override;
  bool OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) override;
  bool SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) override;

  // After a failed file step, the system's reason is printed below the box.
  void WatchFileFailures(const FilePort* files);
  // A line of the command line's own on the people's stream.
  void Say(const std::string& text);
  // Asks on the terminal; true only for a yes typed there.
  bool Confirm(const std::string& question);
  // Notices are shown only once the whole command has succeeded.
  void FlushNotices();

  // What the command line stands in for: images are loaded before any
  // window is made, so only the save dialog has an answer.
  std::optional<std::string> savePath;
  bool verify = false;
  // Where the chip labels go, each as it is set (null: nowhere).
  std::FILE* labelStream = nullptr;

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
  bool barVisible_ = false;
  bool barDrawn_ = false;
  int pos_ = 0;
  std::string lastError_;
  std::string lastNotice_;
  std::vector<std::string> notices_;
  const FilePort* files_ = nullptr;
  std::string seenFailure_;
};

// The label text as a line: without its leading blank.
std::string LabelLine(const std::string& label);

// Text from outside (names, device texts) made safe for a terminal: control
// characters are shown as \xNN.
std::string EscapeControls(const std::string& text);

}  // namespace zq::cli
