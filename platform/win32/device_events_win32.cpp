#include "platform/win32/device_events_win32.h"

// clang-format off
#include "platform/win32/win32_headers.h"
#include <dbt.h>
// clang-format on

#include "platform/win32/system_text_win32.h"

namespace zq {
namespace {

class WindowDeviceEvents final : public cli::DeviceEvents {
 public:
  explicit WindowDeviceEvents(const DeviceNotifications& api) : api_(api) {}
  ~WindowDeviceEvents() override {
    if (thread_ != nullptr) {
      // the window goes on its own thread, which then ends
      if (window_ != nullptr) PostMessageA(window_, WM_CLOSE, 0, 0);
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
    }
    for (HANDLE event : {changed_, wake_, ready_}) {
      if (event != nullptr) CloseHandle(event);
    }
  }
  WindowDeviceEvents(const WindowDeviceEvents&) = delete;
  WindowDeviceEvents& operator=(const WindowDeviceEvents&) = delete;

  // The thread makes the window and registers it; false with the reason
  // when either fails, the thread ended by then.
  bool Start(std::string& problem) {
    // auto-reset: a change or a wake is told to one wait, and kept until then
    changed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;  // 95 and 98 refuse a null pointer here
    if (changed_ == nullptr || wake_ == nullptr || ready_ == nullptr ||
        (thread_ = CreateThread(nullptr, 0, Run, this, 0, &id)) == nullptr) {
      problem = "cannot start a thread for device notifications: " + SystemReason(GetLastError());
      return false;
    }
    // making a message-only window waits on nothing else
    WaitForSingleObject(ready_, INFINITE);
    if (window_ != nullptr) return true;
    problem = problem_;
    return false;
  }

  bool Wait(uint32_t timeoutMs) override {
    // the wake first: a change that came meanwhile stays for the next wait
    const HANDLE events[2] = {wake_, changed_};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeoutMs);
    if (woke == WAIT_FAILED) {
      // no events to wait on: let the station look for itself, not spin
      Sleep(timeoutMs < 1000 ? timeoutMs : 1000);
      return true;
    }
    return woke == WAIT_OBJECT_0 + 1;
  }

  // SetEvent takes no lock the caller could hold and allocates nothing
  void Wake() override { SetEvent(wake_); }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<WindowDeviceEvents*>(self)->Serve();
    return 0;
  }

  void Serve() {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = PLUG_WINDOW_CLASS;
    // a second station in the process finds the class there already
    if (RegisterClassA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      problem_ = "cannot register a window class for device notifications: " +
                 SystemReason(GetLastError());
      SetEvent(ready_);
      return;
    }
    // message-only: never shown, never sent broadcasts; the consumer family has none
    const HWND window = CreateWindowExA(0, PLUG_WINDOW_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, instance, this);
    if (window == nullptr) {
      problem_ = "cannot make a window for device notifications: " + SystemReason(GetLastError());
      SetEvent(ready_);
      return;
    }
    void* notes[2] = {};
    const GUID* classes[2] = {&INTERFACE_DISK, &INTERFACE_CDROM};
    for (int i = 0; i < 2; ++i) {
      DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = *classes[i];
      notes[i] = api_.registerNotification(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      if (notes[i] == nullptr) {
        problem_ = std::string("the system refused device notifications for ") +
                   (i == 0 ? "disks" : "CD-ROM drives") + ": " + SystemReason(GetLastError());
        break;
      }
    }
    if (problem_.empty()) {
      window_ = window;
      SetEvent(ready_);
      MSG message;
      while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }
    for (void* note : notes) {
      if (note != nullptr) api_.unregisterNotification(note);
    }
    DestroyWindow(window);
    // told only now, with nothing of the window left behind
    if (window_ == nullptr) SetEvent(ready_);
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<WindowDeviceEvents*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self != nullptr &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
      SetEvent(self->changed_);
      return TRUE;
    }
    if (message == WM_CLOSE) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  const DeviceNotifications& api_;
  HANDLE changed_ = nullptr;
  HANDLE wake_ = nullptr;
  HANDLE ready_ = nullptr;
  HANDLE thread_ = nullptr;
  // set by the thread before it signals ready_
  HWND window_ = nullptr;
  std::string problem_;
};

}  // namespace

std::unique_ptr<cli::DeviceEvents> MakeWindowDeviceEvents(const DeviceNotifications* api,
                                                          std::string& problem) {
  if (api == nullptr) {
    problem = "this system offers no device notifications";
    return nullptr;
  }
  auto events = std::make_unique<WindowDeviceEvents>(*api);
  if (!events->Start(problem)) return nullptr;
  return events;
}

}  // namespace zq
