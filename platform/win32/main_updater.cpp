// The updater's entry point on Windows: the real storage stack and files.
#include "platform/win32/win32_headers.h"

#include "platform/win32/files_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/updater_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  zq::Win32Platform platform;
  zq::Win32FilePort files;
  zq::UpdaterApp app(platform, files);
  app.InitInstance(instance);
  return 0;
}
