// The updater's entry point on Windows: the real storage stack and files.
#include "platform/win32/win32_headers.h"

#include "platform/win32/claiming_port_win32.h"
#include "platform/win32/device_tree_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/window/updater_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // the window claims each device it opens, as the command line does
  zq::Win32DeviceTree tree;
  zq::Win32PassThroughPort system;
  zq::ClaimingPort claiming(system, system, tree);
  zq::Win32Platform platform(claiming);
  zq::Win32FilePort files;
  zq::UpdaterApp app(platform, files);
  app.InitInstance(instance);
  return 0;
}
