// The application object: starts the window and ends with it.
#pragma once

#include "platform/win32/win32_headers.h"

#include "app/platform.h"
#include "image/file_port.h"

namespace zq {

class UpdaterApp {
 public:
  UpdaterApp(Platform& platform, FilePort& files) : platform_(platform), files_(files) {}

  // Runs the window modally; false, since the process ends when it closes
  // (or when creating it failed).
  bool InitInstance(HINSTANCE instance);

 private:
  Platform& platform_;
  FilePort& files_;
};

}  // namespace zq
