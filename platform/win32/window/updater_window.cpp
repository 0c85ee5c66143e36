#include "platform/win32/window/updater_window.h"

#include "platform/win32/win32_headers.h"

#include "resources/resource.h"

static_assert(IDC_UPDATE == IDOK && IDC_EXIT == IDCANCEL, "the dialog's own commands");

namespace zq {

POINT IconOrigin(const RECT& client, int iconWidth, int iconHeight) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

UpdaterWindow::UpdaterWindow(HINSTANCE instance, FilePort& files, Platform& platform)
    : instance_(instance),
      icon_(LoadIconA(instance, MAKEINTRESOURCEA(IDI_UPDATER_ICON))),
      dialog_(port_, files, platform) {}

INT_PTR UpdaterWindow::Run(HWND parent) {
  return RunModal(instance_, IDD_UPDATER_DIALOG, parent);
}

int UpdaterWindow::OnCreate() {
  // message boxes of a refused start-up are owned by the still hidden window
  port_.Attach(Handle());
  return dialog_.OnCreate();
}

BOOL UpdaterWindow::OnInitDialog() {
  const bool focusFirst = dialog_.OnInitDialog();
  // the template has no position of its own; show it in the middle of the work area
  RECT work;
  RECT frame;
  if (SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0) && GetWindowRect(Handle(), &frame)) {
    const int x = work.left + ((work.right - work.left) - (frame.right - frame.left)) / 2;
    const int y = work.top + ((work.bottom - work.top) - (frame.bottom - frame.top)) / 2;
    SetWindowPos(Handle(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // the task bar and the task switcher show our icon, not the default one
  SendMessageA(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  return focusFirst ? TRUE : FALSE;
}

void UpdaterWindow::RunOperation(void (UpdaterDialog::*operation)()) {
  running_ = true;
  port_.SetLive(true);
  (dialog_.*operation)();
  port_.SetLive(false);
  running_ = false;
}

bool UpdaterWindow::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return false;
  // an operation blocks the window: whatever arrives meanwhile (a message
  // sent by another program, a close request) is dropped, not queued
  if (running_) return true;
  switch (id) {
    case IDC_LOAD_FILE:
      RunOperation(&UpdaterDialog::OnLoadFile);
      return true;
    case IDC_UPDATE:
      // Enter sends this command too; it counts only once Update is enabled
      if (IsWindowEnabled(GetDlgItem(Handle(), IDC_UPDATE))) RunOperation(&UpdaterDialog::OnUpdate);
      return true;
    case IDC_READ_ROM:
      RunOperation(&UpdaterDialog::OnReadRom);
      return true;
    default:
      return Dialog::OnCommand(id, code);
  }
}

bool UpdaterWindow::OnPaint() {
  if (!IsIconic(Handle())) return false;
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(Handle(), &paint);
  SendMessageA(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(Handle(), &client);
  const POINT at = IconOrigin(client, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, at.x, at.y, icon_);
  EndPaint(Handle(), &paint);
  return true;
}

}  // namespace zq
