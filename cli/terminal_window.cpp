#include "cli/terminal_window.h"

#include "cli/output_paths.h"
#include "cli/terminal.h"
#include "resources/resource.h"

namespace zq::cli {
namespace {

constexpr int BAR_WIDTH = 40;

bool IsChipLabel(int controlId) {
  return controlId == IDC_VENDOR_ID || controlId == IDC_CHIP_ID || controlId == IDC_ROM_SIZE ||
         controlId == IDC_FW_VERSION;
}

}  // namespace

std::string LabelLine(const std::string& label) {
  return !label.empty() && label[0] == ' ' ? label.substr(1) : label;
}

std::string EscapeControls(const std::string& text) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string safe;
  safe.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      safe += "\\x";
      safe += DIGITS[byte >> 4];
      safe += DIGITS[byte & 0xF];
    } else {
      safe += c;
    }
  }
  return safe;
}

void TerminalWindow::Line(std::FILE* stream, const std::string& text) {
  ClearBar();
  const std::string prefix = stream == err_ ? prefix_ : "";
  std::fprintf(stream, "%s%s\n", prefix.c_str(), EscapeControls(text).c_str());
  std::fflush(stream);
  DrawBar();
}

void TerminalWindow::SetControlText(int controlId, const std::string& text) {
  if (controlId == IDC_STATUS) {
    if (!text.empty()) Line(err_, text);
    return;
  }
  if (IsChipLabel(controlId) && labelStream != nullptr) Line(labelStream, LabelLine(text));
}

void TerminalWindow::ShowControl(int controlId, bool show) {
  if (controlId != IDC_PROGRESS) return;
  if (!show) ClearBar();
  barVisible_ = show;
  DrawBar();
}

void TerminalWindow::SetProgressPos(int controlId, int pos) {
  if (controlId != IDC_PROGRESS) return;
  pos_ = pos;
  DrawBar();
}

bool TerminalWindow::IsChecked(int controlId) {
  return controlId == IDC_VERIFY && verify;
}

void TerminalWindow::ShowBox(const std::string& text, const std::string&, BoxKind kind) {
  if (kind == BoxKind::Notice) {
    notices_.push_back(text);
    lastNotice_ = text;
    return;
  }
  lastError_ = text;
  Line(err_, text);
  if (files_ == nullptr) return;
  const std::string failure = files_->LastFailure();
  // a reason the box already gives is not said twice
  if (!failure.empty() && failure != seenFailure_ && text.find(failure) == std::string::npos) {
    seenFailure_ = failure;
    Line(err_, "zq5210: " + failure);
  }
}

void TerminalWindow::WatchFileFailures(const FilePort* files) {
  files_ = files;
  seenFailure_ = files != nullptr ? files->LastFailure() : "";
}

void TerminalWindow::Say(const std::string& text) {
  Line(err_, text);
}

bool TerminalWindow::Confirm(const std::string& question) {
  ClearBar();
  const bool yes = AskOnTerminal(prefix_ + EscapeControls(question) + " [y/N] ");
  DrawBar();
  return yes;
}

void TerminalWindow::FlushNotices() {
  for (const std::string& notice : notices_) Line(out_, notice);
  notices_.clear();
}

bool TerminalWindow::OpenFileDialog(const FileDialogRequest&, FileChoice&) {
  return false;
}

bool TerminalWindow::SaveFileDialog(const FileDialogRequest&, FileChoice& choice) {
  if (!savePath) return false;
  choice = ChoiceForPath(*savePath, &cli::IsPathLeadByte);
  return true;
}

void TerminalWindow::ClearBar() {
  if (!barDrawn_) return;
  std::fprintf(err_, "\r\033[K");
  barDrawn_ = false;
}

void TerminalWindow::DrawBar() {
  if (!drawProgress_ || !barVisible_) return;
  const int filled = pos_ * BAR_WIDTH / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
  std::fprintf(err_, "\r%s[%s] %3d%%", prefix_.c_str(), bar.c_str(), pos_);
  std::fflush(err_);
  barDrawn_ = true;
}

}  // namespace zq::cli
