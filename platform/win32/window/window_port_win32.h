// The window port over the real controls of the updater's window.
#pragma once

#include "platform/win32/win32_headers.h"

#include "app/window_port.h"

namespace zq {

// Longest path the file dialogs hand back, terminator included.
constexpr DWORD FILE_DIALOG_PATH_CAPACITY = 4096;

class Win32WindowPort : public WindowPort {
 public:
  void Attach(HWND window) { hwnd_ = window; }
  HWND Handle() const { return hwnd_; }
  // While an operation runs, each change is painted at once and pending
  // messages are served, so the window never looks hung; user input stays held off.
  void SetLive(bool live) { live_ = live; }

  void SetControlText(int controlId, const std::string& text) override;
  void SetTitle(const std::string& text) override;
  void EnableControl(int controlId, bool enable) override;
  void ShowControl(int controlId, bool show) override;
  void SetProgressRange(int controlId, uint16_t low, uint16_t high) override;
  void SetProgressPos(int controlId, int pos) override;
  bool IsChecked(int controlId) override;
  void ShowBox(const std::string& text, const std::string& caption, BoxKind kind) override;
  bool OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) override;
  bool SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) override;

 private:
  bool RunFileDialog(const FileDialogRequest& request, bool save, FileChoice& choice);
  void Refresh();

  HWND hwnd_ = nullptr;
  bool live_ = false;
};

}  // namespace zq
