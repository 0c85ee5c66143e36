// The command line's Windows console: stop events (Ctrl-C, a closed
// console, logoff and shutdown) and the session window that holds them while
// a bridge is written, the terminal, standard streams, threads and files.
#include "platform/win32/win32_headers.h"

#include <cstring>

#include "cli/console_events.h"
#include "cli/exit_status.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/stop_requests.h"
#include "cli/terminal.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/standard_streams_win32.h"
#include "platform/win32/system_library.h"

namespace zq::cli {
namespace {

// The process's stop requests and the system's clock, for the handlers.
class SystemWaits final : public EventWaits {
 public:
  StopTiming Note() override { return NoteStopRequest(); }
  bool Held() override { return StopsHeld(); }
  uint64_t Milliseconds() override {
    const DWORD now = GetTickCount();  // wraps after 49 days: counted on from here
    elapsed_ += static_cast<DWORD>(now - last_);
    last_ = now;
    return elapsed_;
  }
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
  void SayItWaits() override {
    static const char NOTE[] =
        "\nzq5210: stopping now would leave the bridge without firmware; "
        "it stops once the write is done\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), NOTE, sizeof NOTE - 1, &written, nullptr);
  }

 private:
  DWORD last_ = GetTickCount();
  uint64_t elapsed_ = 0;
};

// the JSON object a script waits for, before the process ends
void WriteStoppedReport() {
  const char* report = StoppedReport();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report, static_cast<DWORD>(std::strlen(report)),
            &written, nullptr);
}

// A bridge failed after its erase and nothing else is written: the process
// ends now with that failure's status, saying what the bridge may hold.
[[noreturn]] void EndAfterDamage() {
  RestoreConsoleMode();  // ExitProcess runs no exit handlers
  DWORD written = 0;
  static const char NOTE[] = "\nzq5210: ";
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), NOTE, sizeof NOTE - 1, &written, nullptr);
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), TEXT_STOPPED_AFTER_DAMAGE,
            static_cast<DWORD>(std::strlen(TEXT_STOPPED_AFTER_DAMAGE)), &written, nullptr);
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\n", 1, &written, nullptr);
  const char* report = StoppedAfterDamageReport();
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report, static_cast<DWORD>(std::strlen(report)),
            &written, nullptr);
  ExitProcess(EXIT_AFTER_ERASE);
}

BOOL WINAPI OnConsoleStop(DWORD type) {
  ConsoleEvent event = ConsoleEvent::Interrupt;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      break;
    case CTRL_CLOSE_EVENT:
      event = ConsoleEvent::Close;
      break;
    case CTRL_LOGOFF_EVENT:
      event = ConsoleEvent::Logoff;
      break;
    case CTRL_SHUTDOWN_EVENT:
      event = ConsoleEvent::Shutdown;
      break;
    default:
      return FALSE;
  }
  // runs on a thread of its own; for a close, logoff or shutdown the system
  // ends the process when this returns
  SystemWaits waits;
  const EventAnswer answer = TakeConsoleEvent(event, waits);
  if (answer == EventAnswer::Taken) return TRUE;
  // a running station ends itself on Ctrl-C, with its summary
  if (event == ConsoleEvent::Interrupt && WakeStation()) return TRUE;
  if (answer == EventAnswer::EndAfterDamage) EndAfterDamage();
  // nothing held: the default handler ends the process, without exit()
  RestoreConsoleMode();
  WriteStoppedReport();
  return FALSE;
}

// Windows 7 and later tell a console program that loads user32 (this one
// does) nothing of logoff and shutdown; a hidden window is told instead, and
// from Vista on it can hold the session while a bridge is written, with the
// reason shown. Looked up at run time: older systems lack these calls.
using BlockReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using BlockReasonDestroy = BOOL(WINAPI*)(HWND);
BlockReasonCreate blockReasonCreate = nullptr;
BlockReasonDestroy blockReasonDestroy = nullptr;
constexpr UINT_PTR HOLD_TIMER = 1;

LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION: {
      SystemWaits waits;
      if (SessionMayEnd(waits)) return TRUE;
      blockReasonCreate(window,
                        L"Rewriting a bridge's firmware: stopping now would leave it "
                        L"without firmware.");
      SetTimer(window, HOLD_TIMER, 250, nullptr);  // the reason goes with the write
      return FALSE;
    }
    case WM_ENDSESSION: {
      if (wParam == FALSE) return 0;  // the session goes on
      SystemWaits waits;
      const EventAnswer answer = TakeConsoleEvent(ConsoleEvent::SessionEnd, waits);
      if (answer == EventAnswer::EndAfterDamage) EndAfterDamage();
      if (answer == EventAnswer::EndNow) WriteStoppedReport();
      return 0;  // the system ends the process
    }
    case WM_TIMER: {
      SystemWaits waits;
      if (wParam == HOLD_TIMER && !waits.Held()) {
        KillTimer(window, HOLD_TIMER);
        blockReasonDestroy(window);
      }
      return 0;
    }
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

DWORD WINAPI RunSessionWindow(LPVOID) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = OnSessionMessage;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "zq5210-session";
  // a top-level window, never shown: message-only windows are not asked
  if (RegisterClassA(&windowClass) == 0 ||
      CreateWindowExA(0, windowClass.lpszClassName, "zq5210", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                      nullptr, windowClass.hInstance, nullptr) == nullptr) {
    return 0;
  }
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}

void StartSessionWindow() {
  if (QueryPlatformFamily() != PlatformFamily::Nt || QueryMajorVersion() < 6) return;
  const HMODULE user = GetModuleHandleA("USER32.DLL");
  if (user == nullptr) return;
  if (!BindEntry(user, "ShutdownBlockReasonCreate", blockReasonCreate) ||
      !BindEntry(user, "ShutdownBlockReasonDestroy", blockReasonDestroy)) {
    return;
  }
  DWORD id = 0;
  const HANDLE thread = CreateThread(nullptr, 0, RunSessionWindow, nullptr, 0, &id);
  if (thread != nullptr) CloseHandle(thread);  // it runs until the process ends
}

}  // namespace

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<Win32FilePort>();
}

bool StderrTakesProgressBar() {
  // a console that takes escape sequences; older ones get plain lines
  return StandardErrorTakesEscapes();
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

void KeepStandardStreamsOpen() {
  ReopenClosedStandardStreams();
}

bool AskOnTerminal(const std::string& question) {
  // the console itself, wherever the standard handles were sent
  const HANDLE out =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE in =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  std::string answer;
  DWORD done = 0;
  if (out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE &&
      WriteFile(out, question.data(), static_cast<DWORD>(question.size()), &done, nullptr)) {
    char line[32] = {};
    if (ReadFile(in, line, sizeof line - 1, &done, nullptr)) answer.assign(line, done);
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes";
}

bool WouldReplace(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void InstallStopHandlers() {
  SetConsoleCtrlHandler(OnConsoleStop, TRUE);
  StartSessionWindow();
}

namespace {

DWORD WINAPI RunJob(LPVOID job) {
  (*static_cast<const std::function<void()>*>(job))();
  return 0;
}

}  // namespace

// The Win32-threads runtime has no std::thread: the system's own threads.
void RunTogether(const std::vector<std::function<void()>>& jobs) {
  std::vector<HANDLE> threads;
  for (const auto& job : jobs) {
    DWORD id = 0;  // 95 and 98 refuse a null pointer here
    const HANDLE thread =
        CreateThread(nullptr, 0, RunJob, const_cast<std::function<void()>*>(&job), 0, &id);
    if (thread == nullptr) {
      job();  // no thread to be had: run it here
    } else {
      threads.push_back(thread);
    }
  }
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsStandardOutput(const std::string& path) {
  return path == "-";
}

bool IsPathLeadByte(uint8_t byte) {
  return IsSystemLeadByte(byte);
}

}  // namespace zq::cli
