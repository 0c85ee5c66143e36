// Starts itself without standard handles and checks what the child finds
// once it has called ReopenClosedStandardStreams: every standard handle and
// C run-time descriptor 0-2 leads to the NUL device, printf succeeds, and a
// file opened afterwards gets a descriptor of its own. Exit 0 when all hold.
// Run under Wine by run_standard_streams.sh; "--empty" runs the child
// without the call, which must fail.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstring>
#include <string>

#include "platform/win32/standard_streams_win32.h"
#include "platform/win32/win32_headers.h"

namespace {

int Child(bool reopen, const char* scratch) {
  int faults = 0;
  if (reopen && !zq::ReopenClosedStandardStreams()) faults |= 1;
  static const DWORD STANDARD[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd < 3; ++fd) {
    const HANDLE handle = GetStdHandle(STANDARD[fd]);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        GetFileType(handle) != FILE_TYPE_CHAR) {
      faults |= 2;
    }
    const intptr_t crt = _get_osfhandle(fd);
    if (crt == -1 || crt == -2) faults |= 4;
  }
  if (printf("text for nobody\n") < 0 || fflush(stdout) != 0) faults |= 8;
  if (fprintf(stderr, "error for nobody\n") < 0) faults |= 8;
  const int next = _open(scratch, _O_CREAT | _O_WRONLY | _O_BINARY, 0600);
  if (next <= 2) faults |= 16;
  if (next >= 0) _close(next);
  return faults;
}

// Runs this program as a child with no standard handles; its exit code.
DWORD RunChild(const char* self, const char* mode, const char* scratch) {
  std::string command = std::string("\"") + self + "\" " + mode + " \"" + scratch + "\"";
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = nullptr;
  startup.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    return 255;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return Child(true, argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--child-empty") == 0) return Child(false, argv[2]);
  if (argc != 2) {
    fprintf(stderr, "usage: standard_streams_probe SCRATCH-FILE\n");
    return 2;
  }
  const DWORD with = RunChild(argv[0], "--child", argv[1]);
  const DWORD without = RunChild(argv[0], "--child-empty", argv[1]);
  printf("child with the call: faults %lu; without it: faults %lu\n",
         static_cast<unsigned long>(with), static_cast<unsigned long>(without));
  // the child without the call must notice something, or the probe proves nothing
  return with == 0 && without != 0 && without != 255 ? 0 : 1;
}
