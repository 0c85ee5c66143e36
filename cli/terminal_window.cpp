#include "cli/terminal_window.h"

#include "app/control_ids.h"
#include "cli/host_bindings.h"

namespace zq::cli {
namespace {

// The labels in the order the chip information fills them.
constexpr int LABEL_ORDER[4] = {IDC_VENDOR_ID, IDC_CHIP_ID, IDC_ROM_SIZE, IDC_FW_VERSION};
constexpr int BAR_WIDTH = 40;

}  // namespace

std::string LabelLine(const std::string& label) {
  return !label.empty() && label[0] == ' ' ? label.substr(1) : label;
}

void TerminalWindow::SetControlText(int controlId, const std::string& text) {
  if (controlId == IDC_STATUS) {
    if (text.empty()) return;
    ClearBar();
    std::fprintf(err_, "%s\n", text.c_str());
    DrawBar();
    return;
  }
  if (controlId == IDC_CODE_SIZE) {
    codeSize_ = text;
    return;
  }
  for (int i = 0; i < 4; ++i) {
    if (controlId != LABEL_ORDER[i]) continue;
    labels_[i] = text;
    // the firmware label comes last; then all four are the new chip's
    if (i == 3 && labelStream != nullptr) {
      ClearBar();
      for (const std::string& label : labels_) {
        std::fprintf(labelStream, "%s\n", LabelLine(label).c_str());
      }
      std::fflush(labelStream);
      DrawBar();
    }
  }
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

void TerminalWindow::MessageBox(const std::string& text, const std::string&, uint32_t type) {
  ClearBar();
  const bool isError = type == MB_ICON_ERROR;
  if (isError) ++errors_;
  std::FILE* stream = isError ? err_ : out_;
  std::fprintf(stream, "%s\n", text.c_str());
  std::fflush(stream);
  DrawBar();
}

bool TerminalWindow::OpenFileDialog(const FileDialogRequest&, FileChoice& choice) {
  if (!openPath) return false;
  choice = ChoiceForPath(*openPath, &cli::IsPathLeadByte);
  return true;
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
  std::fprintf(err_, "\r[%s] %3d%%", bar.c_str(), pos_);
  std::fflush(err_);
  barDrawn_ = true;
}

}  // namespace zq::cli
