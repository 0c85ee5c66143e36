#include "platform/win32/standard_streams_win32.h"

#include "platform/win32/win32_headers.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include "platform/win32/platform_win32.h"

namespace zq {
namespace {

// A standard handle that leads nowhere: none given, or one the system does
// not know (closed before we started).
bool Missing(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;
  SetLastError(NO_ERROR);
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

// What _get_osfhandle gives for a descriptor without a handle: -1, or -2
// where the run-time marks one it started without.
bool NoHandle(intptr_t handle) {
  return handle == -1 || handle == -2;
}

}  // namespace

bool ReopenClosedStandardStreams() {
  static const DWORD STANDARD[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  bool allOpen = true;
  for (int fd = 0; fd < 3; ++fd) {
    if (!Missing(GetStdHandle(STANDARD[fd]))) continue;
    const HANDLE nul =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (nul == INVALID_HANDLE_VALUE) {
      allOpen = false;
      continue;
    }
    // MSVCRT keeps descriptors 0-2 marked open even without a handle, so a
    // later _open cannot take them; they get the NUL device so that printf
    // succeeds into it
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(nul), _O_BINARY);
    if (opened < 0) {
      CloseHandle(nul);
      allOpen = false;
      continue;
    }
    if (opened != fd) {
      if (_dup2(opened, fd) != 0) allOpen = false;
      _close(opened);
    }
    // the run-time sets the standard handle itself in a console program,
    // not in a window program
    const intptr_t bound = _get_osfhandle(fd);
    if (NoHandle(bound) || !SetStdHandle(STANDARD[fd], reinterpret_cast<HANDLE>(bound))) {
      allOpen = false;
    }
  }
  return allOpen;
}

constexpr DWORD CONSOLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;  // Windows 10

namespace {

// The console's mode before escape sequences were turned on: the console
// outlives us, and the shell behind it did not ask for them.
HANDLE changedConsole = nullptr;
DWORD savedConsoleMode = 0;

}  // namespace

void RestoreConsoleMode() {
  const HANDLE console = changedConsole;
  changedConsole = nullptr;
  if (console != nullptr) SetConsoleMode(console, savedConsoleMode);
}

bool StandardErrorTakesEscapes() {
  // the consumer family's console takes none, whatever it answers
  if (QueryPlatformFamily() != PlatformFamily::Nt) return false;
  const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    return false;  // a pipe or a file
  }
  if ((mode & CONSOLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  // consoles before Windows 10 refuse the flag and would print the
  // sequences as they are; asked back, so a console that drops it says so
  if (!SetConsoleMode(console, mode | CONSOLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  if (changedConsole == nullptr) {
    savedConsoleMode = mode;
    changedConsole = console;
    std::atexit(RestoreConsoleMode);
  }
  DWORD now = 0;
  return GetConsoleMode(console, &now) && (now & CONSOLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace zq
