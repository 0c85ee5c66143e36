// What a window shows, read through the window manager; shared by the Win32
// test programs.
#pragma once

#include <windows.h>

#include <string>

namespace zq {

// The window's class name ("Static", "#32770", ...).
inline std::string ClassOf(HWND hwnd) {
  char name[256] = {};
  GetClassNameA(hwnd, name, sizeof(name));
  return name;
}

// The text the window manager holds; never waits for the window's program.
inline std::string TextOf(HWND hwnd) {
  char text[1024] = {};
  GetWindowTextA(hwnd, text, sizeof(text));
  return text;
}

}  // namespace zq
