#include "platform/win32/message_pump.h"

#include "platform/win32/win32_headers.h"

#include "app/old_systems.h"
#include "platform/win32/platform_win32.h"

namespace zq {
namespace {

static_assert(QS_ALLINPUT == (WAKE_ANY_MESSAGE_BEFORE_XP | WAKE_RAW_INPUT));
static_assert(QS_RAWINPUT == WAKE_RAW_INPUT);

// asked once: the system does not change while the program runs
DWORD AnyMessage() {
  static const DWORD mask =
      AnyMessageWakeMask(QueryPlatformFamily(), QueryMajorVersion(), QueryMinorVersion());
  return mask;
}

}  // namespace

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

bool PumpingWait(void* handle, uint32_t milliseconds) {
  // GetTickCount, not its 64-bit sibling, so the program still loads on old
  // systems; unsigned subtraction survives its wrap-around
  const DWORD start = GetTickCount();
  const DWORD count = handle == nullptr ? 0 : 1;
  HANDLE handles[1] = {static_cast<HANDLE>(handle)};
  for (;;) {
    if (count == 1 && WaitForSingleObject(handles[0], 0) == WAIT_OBJECT_0) return true;
    const bool pumping = PumpPendingMessages();
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return false;
    const DWORD left = milliseconds - elapsed;
    if (!pumping) {
      return count == 1 ? WaitForSingleObject(handles[0], left) == WAIT_OBJECT_0
                        : (Sleep(left), false);
    }
    // wakes for the handle or any message, sent ones included, so painting
    // never waits for the whole time
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(count, handles, left, AnyMessage(), MWMO_INPUTAVAILABLE);
    if (count == 1 && woke == WAIT_OBJECT_0) return true;
  }
}

void PumpingSleep(uint32_t milliseconds) {
  PumpingWait(nullptr, milliseconds);
}

}  // namespace zq
