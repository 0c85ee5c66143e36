// A DLL planted beside a program under a system DLL's name: loading it leaves
// "planted-NAME.txt" in the current folder and fails, so a run shows whether
// the program took it for the system's own.
#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(self, path, MAX_PATH);
  const char* name = std::strrchr(path, '\\');
  char marker[MAX_PATH + 16] = "planted-";
  std::strncat(marker, name != nullptr ? name + 1 : path, MAX_PATH);
  std::strcat(marker, ".txt");
  const HANDLE file =
      CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return FALSE;
}
