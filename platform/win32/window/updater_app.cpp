#include "platform/win32/window/updater_app.h"

#include <commctrl.h>

#include <memory>

#include "platform/win32/window/updater_window.h"

namespace zq {

bool UpdaterApp::InitInstance(HINSTANCE instance) {
  // the progress bar's class must be registered before the template is run
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
  // the standard classes are version 6's; an older library may refuse the
  // bit it does not know, and the progress bar is what the window needs
  if (!InitCommonControlsEx(&controls)) {
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
  }

  // the window holds two image buffers of 64 KB each: keep it off the stack
  auto window = std::make_unique<UpdaterWindow>(instance, files_, platform_);
  window->Run(nullptr);
  return false;
}

}  // namespace zq
