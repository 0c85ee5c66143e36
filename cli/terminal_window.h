// The window as a terminal: status texts and labels become lines, the
// progress bar a bar on a terminal, message boxes one line each, and the
// file dialogs the paths given on the command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "app/window_port.h"

namespace zq::cli {

class TerminalWindow : public WindowPort {
 public:
  TerminalWindow(std::FILE* out, std::FILE* err, bool drawProgress)
      : out_(out), err_(err), drawProgress_(drawProgress) {}

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

  // What the command line stands in for.
  std::optional<std::string> openPath;
  std::optional<std::string> savePath;
  bool verify = false;
  // Where the chip labels go, each as it is set (null: nowhere).
  std::FILE* labelStream = nullptr;

  bool ErrorShown() const { return errors_ > 0; }

 private:
  void ClearBar();
  void DrawBar();

  std::FILE* out_;
  std::FILE* err_;
  bool drawProgress_;
  bool barVisible_ = false;
  bool barDrawn_ = false;
  int pos_ = 0;
  int errors_ = 0;
};

// The label text as a line: without its leading blank.
std::string LabelLine(const std::string& label);

}  // namespace zq::cli
