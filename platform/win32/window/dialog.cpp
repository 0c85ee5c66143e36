#include "platform/win32/window/dialog.h"

namespace zq {
namespace {

// The dialog whose window is being created on this thread, for the hook.
thread_local Dialog* creating = nullptr;

bool IsDialogClass(LPCSTR className) {
  if (IS_INTRESOURCE(className)) return LOWORD(reinterpret_cast<ULONG_PTR>(className)) == 0x8002;
  return lstrcmpiA(className, "#32770") == 0;
}

}  // namespace

// A dialog procedure never sees WM_CREATE, and a refusal in WM_INITDIALOG
// would come after the controls were made. So the window procedure is
// wrapped the moment the window exists: WM_CREATE reaches OnCreate while the
// window is still hidden, and a -1 there makes the creation itself fail.
INT_PTR Dialog::RunModal(HINSTANCE instance, int templateId, HWND parent) {
  creating = this;
  hook_ = SetWindowsHookExA(WH_CBT, &Dialog::CreationHook, nullptr, GetCurrentThreadId());
  if (hook_ == nullptr) {
    creating = nullptr;
    return -1;
  }
  const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(templateId), parent,
                                         &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
  if (hook_ != nullptr) {  // the window was never created
    UnhookWindowsHookEx(hook_);
    hook_ = nullptr;
  }
  creating = nullptr;
  hwnd_ = nullptr;
  return result;
}

LRESULT CALLBACK Dialog::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
  Dialog* self = creating;
  if (self == nullptr) return CallNextHookEx(nullptr, code, wParam, lParam);
  const HHOOK hook = self->hook_;
  if (code == HCBT_CREATEWND) {
    const auto* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam);
    // other windows (an input method's, say) may be made first; wait for ours
    if (IsDialogClass(create->lpcs->lpszClass)) {
      const HWND hwnd = reinterpret_cast<HWND>(wParam);
      self->hwnd_ = hwnd;
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->baseProc_ = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Dialog::CreationProc)));
      UnhookWindowsHookEx(hook);
      self->hook_ = nullptr;
      creating = nullptr;
    }
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

LRESULT CALLBACK Dialog::CreationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  const WNDPROC base = self->baseProc_;
  if (message == WM_CREATE) {
    // the platform's own creation handling first, then ours
    if (CallWindowProcA(base, hwnd, message, wParam, lParam) == -1) return -1;
    return self->OnCreate() == -1 ? -1 : 0;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  }
  return CallWindowProcA(base, hwnd, message, wParam, lParam);
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
  auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      self->hwnd_ = hwnd;
      return self->OnInitDialog();
    case WM_COMMAND:
      return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_PAINT:
      return self->OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // a dialog procedure hands back a result through DWLP_MSGRESULT
      if (HICON icon = self->OnQueryDragIcon()) {
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(icon));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

bool Dialog::OnCommand(int id, int code) {
  if (id == IDCANCEL && code == BN_CLICKED) {
    OnCancel();
    return true;
  }
  return false;
}

}  // namespace zq
