#include "platform/win32/window/window_port_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstddef>
#include <vector>

#include "app/old_systems.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/message_pump.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/window/file_dialog_text.h"

namespace zq {
namespace {

// OPENFILENAME_SIZE_VERSION_400A: the structure up to its template name,
// before Windows 2000 added three fields (the header's macro is no constant)
constexpr DWORD FILE_DIALOG_SIZE_400 =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);
static_assert(FILE_DIALOG_SIZE_400 == (sizeof(void*) == 4 ? 76 : 136));
static_assert(sizeof(OPENFILENAMEA) == (sizeof(void*) == 4 ? 88 : 152));

}  // namespace

void Win32WindowPort::Refresh() {
  if (!live_) return;
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  PumpPendingMessages();
}

void Win32WindowPort::SetControlText(int controlId, const std::string& text) {
  SetDlgItemTextA(hwnd_, controlId, text.c_str());
  Refresh();
}

void Win32WindowPort::SetTitle(const std::string& text) {
  SetWindowTextA(hwnd_, text.c_str());
  Refresh();
}

void Win32WindowPort::EnableControl(int controlId, bool enable) {
  EnableWindow(GetDlgItem(hwnd_, controlId), enable ? TRUE : FALSE);
  Refresh();
}

void Win32WindowPort::ShowControl(int controlId, bool show) {
  ShowWindow(GetDlgItem(hwnd_, controlId), show ? SW_SHOW : SW_HIDE);
  Refresh();
}

void Win32WindowPort::SetProgressRange(int controlId, uint16_t low, uint16_t high) {
  SendDlgItemMessageA(hwnd_, controlId, PBM_SETRANGE, 0, MAKELPARAM(low, high));
  Refresh();
}

void Win32WindowPort::SetProgressPos(int controlId, int pos) {
  SendDlgItemMessageA(hwnd_, controlId, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
  Refresh();
}

bool Win32WindowPort::IsChecked(int controlId) {
  return SendDlgItemMessageA(hwnd_, controlId, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32WindowPort::ShowBox(const std::string& text, const std::string& caption, BoxKind kind) {
  const UINT type = kind == BoxKind::Error ? MB_ICONERROR : MB_OK;
  MessageBoxA(hwnd_, text.c_str(), caption.c_str(), type);
}

bool Win32WindowPort::OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) {
  return RunFileDialog(request, false, choice);
}

bool Win32WindowPort::SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) {
  return RunFileDialog(request, true, choice);
}

bool Win32WindowPort::RunFileDialog(const FileDialogRequest& request, bool save,
                                    FileChoice& choice) {
  const std::string filter = FilterToNulSeparated(request.filter);
  std::vector<char> file(FILE_DIALOG_PATH_CAPACITY, '\0');
  // a default name that does not fit is left out rather than cut short
  if (request.defaultName.size() < file.size()) {
    request.defaultName.copy(file.data(), request.defaultName.size());
  }

  OPENFILENAMEA dialog{};
  dialog.lStructSize = FileDialogTakesFullStruct(QueryPlatformFamily(), QueryMajorVersion())
                           ? sizeof(dialog)
                           : FILE_DIALOG_SIZE_400;
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrDefExt =
      request.defaultExtension.empty() ? nullptr : request.defaultExtension.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_ENABLESIZING;
  if (request.fileMustExist) dialog.Flags |= OFN_FILEMUSTEXIST;
  if (request.overwritePrompt) dialog.Flags |= OFN_OVERWRITEPROMPT;

  const BOOL confirmed = save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
  Refresh();
  // a cancel, or a failure of the dialog itself (a path too long for the buffer)
  if (!confirmed) return false;
  choice = ChoiceForPath(file.data(), &IsSystemLeadByte);
  return true;
}

}  // namespace zq
