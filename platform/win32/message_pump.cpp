#include "platform/win32/message_pump.h"

#include "platform/win32/win32_headers.h"

namespace zq {

bool IsUserInputMessage(unsigned int message) {
  if (message >= WM_KEYFIRST && message <= WM_KEYLAST) return true;
  if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) return true;
  if (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK) return true;
  return message == WM_NCMOUSEHOVER || message == WM_NCMOUSELEAVE || message == WM_MOUSEHOVER ||
         message == WM_MOUSELEAVE;
}

bool PumpPendingMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // not ours to swallow: whoever runs the outer loop must see it
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    if (IsUserInputMessage(msg.message)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return true;
}

void PumpingSleep(uint32_t milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    const bool pumping = PumpPendingMessages();
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    if (!pumping) {
      Sleep(static_cast<DWORD>(deadline - now));
      return;
    }
    // wakes for any message, sent ones included, so painting never waits a whole second
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

}  // namespace zq
