// Plays the system ending the session on a running command line: once its
// standard error shows TEXT, asks its hidden window whether the session may
// end (WM_QUERYENDSESSION), then tells it that it ends (WM_ENDSESSION).
// Prints the answer; exits 0 when the session was held back, 1 when it was
// let go, 2 when the window or the text never came (scripts/e2e.sh runs it).
//   session_end_probe ERRFILE TEXT
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool Shows(const char* path, const char* text) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str().find(text) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HWND window = nullptr;
  bool shown = false;
  for (int i = 0; i < 3000 && (!shown || window == nullptr); ++i) {  // 30 s at most
    shown = shown || Shows(argv[1], argv[2]);
    window = FindWindowA("zq5210-session", nullptr);
    if (!shown || window == nullptr) Sleep(10);
  }
  if (!shown || window == nullptr) {
    std::printf("no %s\n", shown ? "session window" : "text");
    return 2;
  }
  DWORD_PTR answer = 1;
  if (!SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer)) {
    std::printf("the query went unanswered\n");
    return 2;
  }
  std::printf("session may end: %s\n", answer != 0 ? "yes" : "no");
  std::fflush(stdout);
  // the program goes on until the write is done; the call returns when it ends
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &ignored);
  return answer != 0 ? 1 : 0;
}
