// A thin modal dialog: runs a dialog template and hands its events to
// overridable handlers, so the behaviour stays out of window procedures.
#pragma once

#include "platform/win32/win32_headers.h"

namespace zq {

class Dialog {
 public:
  Dialog() = default;
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Creates the window from the template and serves it until EndDialog.
  // -1 when the window could not be created (OnCreate refused it).
  INT_PTR RunModal(HINSTANCE instance, int templateId, HWND parent);

  HWND Handle() const { return hwnd_; }

 protected:
  // The window exists but is not shown and has no controls yet; -1 refuses it.
  virtual int OnCreate() { return 0; }
  // Controls exist; true lets the platform focus the first tab stop.
  virtual BOOL OnInitDialog() { return TRUE; }
  // A command from a control or the keyboard; true when handled.
  virtual bool OnCommand(int id, int code);
  // True when the handler painted; false leaves painting to the default.
  virtual bool OnPaint() { return false; }
  // The icon dragged for a minimised window; null for the default.
  virtual HICON OnQueryDragIcon() { return nullptr; }
  // Cancel (Exit button, Escape, close box) ends the modal run.
  virtual void OnCancel() { EndDialog(hwnd_, IDCANCEL); }

 private:
  static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK CreationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  HHOOK hook_ = nullptr;
  WNDPROC baseProc_ = nullptr;
};

}  // namespace zq
