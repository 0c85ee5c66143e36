#include "cli/terminal_window.h"

#include "cli/terminal.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {
namespace {

constexpr int BAR_WIDTH = 40;

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

void TerminalView::Line(std::FILE* stream, const std::string& text) {
  if (watcher_ != nullptr) return;  // the watcher shows what matters of it
  ClearBar();
  const std::string prefix = stream == err_ ? prefix_ : "";
  std::fprintf(stream, "%s%s\n", prefix.c_str(), EscapeControls(text).c_str());
  std::fflush(stream);
  DrawBar();
}

void TerminalView::ShowStatus(const std::string& text) {
  if (watcher_ != nullptr) watcher_->ShowStatus(text);
  if (!text.empty()) Line(err_, text);
}

void TerminalView::BeginProgress() {
  if (watcher_ != nullptr) watcher_->BeginProgress();
  pos_ = 0;
  DrawBar();
  barVisible_ = true;
  DrawBar();
}

void TerminalView::ShowProgress(uint8_t pos) {
  if (watcher_ != nullptr) watcher_->ShowProgress(pos);
  pos_ = pos;
  DrawBar();
}

void TerminalView::HideProgress() {
  if (watcher_ != nullptr) watcher_->HideProgress();
  ClearBar();
  barVisible_ = false;
}

void TerminalView::ShowChipInfo(const ChipInfo& info) {
  if (chipInfo_ == nullptr) return;
  const ChipLabels labels = FormatChipLabels(info);
  for (const std::string* label :
       {&labels.vendor, &labels.chip, &labels.romSize, &labels.fwVersion}) {
    Line(chipInfo_, LabelLine(*label));
  }
}

void TerminalView::ShowNotice(const std::string& text) {
  if (watcher_ != nullptr) watcher_->ShowNotice(text);
  notices_.push_back(text);
  lastNotice_ = text;
}

void TerminalView::ShowError(const std::string& text) {
  lastError_ = text;
  Line(err_, text);
  if (watcher_ != nullptr) watcher_->ShowError(text);
  if (files_ == nullptr || watcher_ != nullptr) return;
  const std::string failure = files_->LastFailure();
  // a reason the box already gives is not said twice
  if (!failure.empty() && failure != seenFailure_ && text.find(failure) == std::string::npos) {
    seenFailure_ = failure;
    Line(err_, "zq5210: " + failure);
  }
}

void TerminalView::WatchFileFailures(const FilePort* files) {
  files_ = files;
  seenFailure_ = files != nullptr ? files->LastFailure() : "";
}

void TerminalView::Say(const std::string& text) {
  Line(err_, text);
}

bool TerminalView::Confirm(const std::string& question) {
  ClearBar();
  const bool yes = AskOnTerminal(prefix_ + EscapeControls(question) + " [y/N] ");
  DrawBar();
  return yes;
}

void TerminalView::FlushNotices() {
  for (const std::string& notice : notices_) Line(out_, notice);
  notices_.clear();
}

void TerminalView::ClearBar() {
  if (!barDrawn_) return;
  std::fprintf(err_, "\r\033[K");
  barDrawn_ = false;
}

void TerminalView::DrawBar() {
  if (!drawProgress_ || !barVisible_ || watcher_ != nullptr) return;
  const int filled = pos_ * BAR_WIDTH / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
  std::fprintf(err_, "\r%s[%s] %3d%%", prefix_.c_str(), bar.c_str(), pos_);
  std::fflush(err_);
  barDrawn_ = true;
}

}  // namespace zq::cli
