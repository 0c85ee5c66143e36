// The updater's window on the real platform: template 102 run modally, its
// events handed to UpdaterDialog.
#pragma once

#include "platform/win32/win32_headers.h"

#include "app/updater_dialog.h"
#include "platform/win32/window/dialog.h"
#include "platform/win32/window/window_port_win32.h"

namespace zq {

// Where a minimised window draws its icon: centred, the halves rounded
// towards zero.
POINT IconOrigin(const RECT& client, int iconWidth, int iconHeight);

class UpdaterWindow : public Dialog {
 public:
  UpdaterWindow(HINSTANCE instance, FilePort& files, Platform& platform);

  INT_PTR Run(HWND parent);

 protected:
  int OnCreate() override;
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code) override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override { return icon_; }

 private:
  void RunOperation(void (UpdaterDialog::*operation)());

  HINSTANCE instance_;
  HICON icon_;
  Win32WindowPort port_;
  UpdaterDialog dialog_;
  bool running_ = false;
};

}  // namespace zq
