// Drives the updater's window as a user would: starts the program, finds its
// window, clicks, fills the file dialogs, reads every text, answers the
// message boxes and takes a screenshot of each stage.
//
//   zq-e2e-driver SCENARIO PROGRAM SHOTS_DIR [KEY=VALUE ...]
//
// Prints one "ok"/"not ok" line per check and exits non-zero on any failure.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/window_text.h"

namespace {

using zq::ClassOf;
using zq::TextOf;

const char* const TITLE_PREFIX = "ZQ5210  Tarnwick 2.1.4 QD94N - ";

// control IDs of the window, as a user's tool would learn them
const int ID_UPDATE = 1;
const int ID_EXIT = 2;
const int ID_LOAD_FILE = 1000;
const int ID_STATUS = 1001;
const int ID_PROGRESS = 1002;
const int ID_ROM_SIZE = 1003;
const int ID_CODE_SIZE = 1004;
const int ID_VERIFY = 1005;
const int ID_FW_VERSION = 1006;
const int ID_CHIP_ID = 1007;
const int ID_READ_ROM = 1008;
const int ID_VENDOR_ID = 1009;
const int ID_FILE_NAME_COMBO = 0x47C;  // the common dialogs' file name box
const int ID_FILE_NAME_EDIT = 0x480;
const UINT PBM_GETPOS_MESSAGE = WM_USER + 8;

int failures = 0;
int checks = 0;
std::map<std::string, std::string> options;
std::string shotsDir;
std::string scenario;

void Check(bool ok, const std::string& what, const std::string& detail = "") {
  ++checks;
  if (!ok) ++failures;
  std::printf("%s - %s: %s%s%s\n", ok ? "ok" : "not ok", scenario.c_str(), what.c_str(),
              detail.empty() ? "" : "  -- ", detail.c_str());
  std::fflush(stdout);
}

void CheckText(const std::string& actual, const std::string& expected, const std::string& what) {
  Check(actual == expected, what, "got \"" + actual + "\", want \"" + expected + "\"");
}

std::string Option(const std::string& key) {
  auto it = options.find(key);
  return it == options.end() ? std::string() : it->second;
}

// The text an edit control holds; asks the control itself.
std::string EditText(HWND hwnd) {
  char text[1024] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, &ignored);
  return text;
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::vector<unsigned char> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  unsigned char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(f);
  return bytes;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- the program under test ----

struct Program {
  PROCESS_INFORMATION process{};
  HWND main = nullptr;

  bool Start(const std::string& exe) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::string commandLine = "\"" + exe + "\"";
    return CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process) != FALSE;
  }

  bool Owns(HWND hwnd) const {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid == process.dwProcessId;
  }

  // Visible top-level windows of the program.
  std::vector<HWND> Windows() const {
    Visit visit{this, {}};
    EnumWindows(&Program::Collect, reinterpret_cast<LPARAM>(&visit));
    return visit.found;
  }

  struct Visit {
    const Program* self;
    std::vector<HWND> found;
  };
  static BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
    auto* v = reinterpret_cast<Visit*>(param);
    if (IsWindowVisible(hwnd) && v->self->Owns(hwnd)) v->found.push_back(hwnd);
    return TRUE;
  }

  HWND FindMain() const {
    for (HWND hwnd : Windows()) {
      if (ClassOf(hwnd) == "#32770" && TextOf(hwnd).rfind("ZQ5210", 0) == 0) return hwnd;
    }
    return nullptr;
  }

  // A message box: a dialog with a static text and no file name box.
  HWND FindBox(const std::string& caption) const {
    for (HWND hwnd : Windows()) {
      if (hwnd != main && ClassOf(hwnd) == "#32770" && TextOf(hwnd) == caption) return hwnd;
    }
    return nullptr;
  }

  HWND FindFileDialog() const {
    for (HWND hwnd : Windows()) {
      if (hwnd == main || ClassOf(hwnd) != "#32770") continue;
      if (GetDlgItem(hwnd, ID_FILE_NAME_COMBO) || GetDlgItem(hwnd, ID_FILE_NAME_EDIT)) return hwnd;
    }
    return nullptr;
  }

  // A question with a Yes button, other than the window itself and `except`.
  HWND FindYesNoBox(HWND except = nullptr) const {
    for (HWND hwnd : Windows()) {
      if (hwnd != main && hwnd != except && GetDlgItem(hwnd, IDYES)) return hwnd;
    }
    return nullptr;
  }

  bool Running() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }

  DWORD WaitExit(DWORD ms) {
    if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
  }

  void Kill() {
    if (process.hProcess && Running()) TerminateProcess(process.hProcess, 99);
  }

  HWND Item(int id) const { return GetDlgItem(main, id); }
  std::string Label(int id) const { return TextOf(Item(id)); }
  int ProgressPos() const {
    DWORD_PTR pos = 0;
    if (!SendMessageTimeoutA(Item(ID_PROGRESS), PBM_GETPOS_MESSAGE, 0, 0, SMTO_ABORTIFHUNG, 1000,
                             &pos))
      return -1;
    return static_cast<int>(pos);
  }
  bool ProgressShown() const {
    return (GetWindowLongA(Item(ID_PROGRESS), GWL_STYLE) & WS_VISIBLE) != 0;
  }

  // Posted, so the driver never waits on a handler that opens a dialog.
  void Click(int id) const { PostMessageA(Item(id), BM_CLICK, 0, 0); }
};

template <typename F>
auto WaitFor(F find, DWORD ms) -> decltype(find()) {
  const ULONGLONG until = GetTickCount64() + ms;
  for (;;) {
    auto found = find();
    if (found || GetTickCount64() >= until) return found;
    Sleep(25);
  }
}

// ---- screenshots ----

void Shot(const Program& program, const std::string& name) {
  RECT area{0, 0, 0, 0};
  bool any = false;
  for (HWND hwnd : program.Windows()) {
    RECT r;
    GetWindowRect(hwnd, &r);
    if (!any) area = r;
    UnionRect(&area, &area, &r);
    any = true;
  }
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  if (!any) area = RECT{0, 0, screenW, screenH};
  InflateRect(&area, 12, 12);
  area.left = area.left < 0 ? 0 : area.left;
  area.top = area.top < 0 ? 0 : area.top;
  area.right = area.right > screenW ? screenW : area.right;
  area.bottom = area.bottom > screenH ? screenH : area.bottom;
  const int w = area.right - area.left, h = area.bottom - area.top;
  if (w <= 0 || h <= 0) return;
  Sleep(150);  // let the last change be painted

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, area.left, area.top, SRCCOPY | CAPTUREBLT);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const UINT rows = static_cast<UINT>(h);
  const DWORD stride = ((static_cast<DWORD>(w) * 3) + 3) & ~3u;
  std::vector<unsigned char> pixels(size_t{stride} * rows);
  GetDIBits(memory, bitmap, 0, rows, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  const std::string path = shotsDir + "\\" + scenario + "-" + name + ".bmp";
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return;
  std::fwrite(&file, sizeof(file), 1, out);
  std::fwrite(&info, sizeof(info), 1, out);
  std::fwrite(pixels.data(), 1, pixels.size(), out);
  std::fclose(out);
}

// ---- steps shared by the scenarios ----

// Reads a message box, takes its picture, dismisses it with `button`.
// The message of a box: its last non-empty static text.
std::string BoxText(HWND box) {
  std::string shown;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) == "Static" && !TextOf(child).empty()) shown = TextOf(child);
  }
  return shown;
}

bool AnswerBox(Program& program, const std::string& caption, const std::string& text,
               const std::string& shot, int button = IDOK, DWORD ms = 15000) {
  const HWND box = WaitFor([&] { return program.FindBox(caption); }, ms);
  if (!box) {
    // say what is up instead, so a failure shows which step went wrong
    std::string seen = program.main ? "status \"" + program.Label(ID_STATUS) + "\"" : "no window";
    for (HWND other : program.Windows()) {
      if (other != program.main && ClassOf(other) == "#32770") {
        seen += "; box \"" + TextOf(other) + "\": \"" + BoxText(other) + "\"";
      }
    }
    Check(false, "a \"" + caption + "\" box appears", text + " -- instead: " + seen);
    return false;
  }
  Check(true, "a \"" + caption + "\" box appears", text);
  const std::string shown = BoxText(box);
  CheckText(shown, text, "the box's text");
  Check(GetWindow(box, GW_OWNER) == program.main || program.main == nullptr,
        "the box is owned by the window");
  if (!shot.empty()) Shot(program, shot);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
  return true;
}

// Fills the Open or Save dialog with `path` and confirms it (or cancels).
bool AnswerFileDialog(Program& program, const std::string& path, const std::string& shot,
                      const std::string& expectedName = "", bool cancel = false) {
  const HWND dialog = WaitFor([&] { return program.FindFileDialog(); }, 10000);
  Check(dialog != nullptr, "the file dialog appears");
  if (!dialog) return false;
  Check(GetWindow(dialog, GW_OWNER) == program.main, "the file dialog is owned by the window");
  HWND name = GetDlgItem(dialog, ID_FILE_NAME_COMBO);
  if (name) {
    HWND edit = FindWindowExA(name, nullptr, "Edit", nullptr);
    if (edit) name = edit;
  } else {
    name = GetDlgItem(dialog, ID_FILE_NAME_EDIT);
  }
  Sleep(300);  // the dialog fills its lists first
  if (!expectedName.empty()) CheckText(EditText(name), expectedName, "the offered file name");
  if (!shot.empty()) Shot(program, shot);
  // taken: the dialog closes, or asks whether to replace an existing file
  auto closed = [&] {
    return !IsWindow(dialog) || !IsWindowVisible(dialog) || program.FindYesNoBox(dialog);
  };
  // the dialog may still be filling its lists and reset the name: try again until it closes
  bool done = false;
  for (int attempt = 0; attempt < 5 && !done; ++attempt) {
    if (cancel) {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                          SMTO_ABORTIFHUNG, 2000, &ignored);
      if (EditText(name) != path) continue;
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    done = WaitFor(closed, 3000);
  }
  Check(done, cancel ? "the file dialog is cancelled" : "the file dialog takes the name", path);
  return true;
}

bool Launch(Program& program) {
  Check(program.Start(Option("program")), "the program starts", Option("program"));
  program.main = WaitFor([&] { return program.FindMain(); }, 20000);
  Check(program.main != nullptr, "its window appears");
  return program.main != nullptr;
}

void WaitIdle(Program& program, DWORD ms = 10000) {
  WaitFor([&] { return program.Label(ID_STATUS).empty() && !program.ProgressShown(); }, ms);
}

void Exit(Program& program) {
  program.Click(ID_EXIT);
  const DWORD code = program.WaitExit(10000);
  Check(code == 0, "Exit ends the program", "exit code " + std::to_string(code));
  program.Kill();
}

void CheckIdle(Program& program, const std::string& when) {
  // the window resets its status once the box has closed; on a busy machine
  // that takes a moment
  WaitFor([&] { return program.Label(ID_STATUS).empty() && !program.ProgressShown(); }, 5000);
  CheckText(program.Label(ID_STATUS), "", "status line empty " + when);
  Check(!program.ProgressShown(), "progress bar hidden " + when);
}

// Starts an operation with its button. The window drops a command that lands
// while it is still finishing the previous operation (its refreshes serve
// posted messages too), so press again until the operation shows it began:
// a status text, a box or a dialog.
void Press(Program& program, int id) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    program.Click(id);
    if (WaitFor([&] { return !program.Label(ID_STATUS).empty() || program.Windows().size() > 1; },
                3000)) {
      return;
    }
  }
  Check(false, "button " + std::to_string(id) + " starts its operation");
}

void LoadFile(Program& program, const std::string& path, const std::string& shot) {
  Press(program, ID_LOAD_FILE);
  AnswerFileDialog(program, path, shot);
}

// ---- scenarios ----

void StartScenario() {
  Program program;
  if (!Launch(program)) return program.Kill();
  Sleep(300);
  CheckText(TextOf(program.main), std::string(TITLE_PREFIX) + "No File Loaded", "title");
  CheckText(program.Label(ID_ROM_SIZE), " ROM size:", "label 1003");
  CheckText(program.Label(ID_FW_VERSION), " FW ver.", "label 1006");
  CheckText(program.Label(ID_CODE_SIZE), " Code size:", "label 1004");
  CheckText(program.Label(ID_VENDOR_ID), " Vendor ID: ", "label 1009");
  CheckText(program.Label(ID_CHIP_ID), " Chip ID: ", "label 1007");
  CheckIdle(program, "at start");
  Check(!IsWindowEnabled(program.Item(ID_UPDATE)), "Update disabled");
  for (int id : {ID_LOAD_FILE, ID_READ_ROM, ID_EXIT, ID_VERIFY}) {
    Check(IsWindowEnabled(program.Item(id)) != FALSE, "control " + std::to_string(id) + " enabled");
  }
  Check(SendMessageA(program.Item(ID_VERIFY), BM_GETCHECK, 0, 0) == BST_UNCHECKED,
        "verification unticked");
  Shot(program, "window");
  // a click on the disabled Update does nothing
  program.Click(ID_UPDATE);
  Sleep(500);
  Check(program.Windows().size() == 1, "a disabled Update opens nothing");
  // the check box ticks and unticks
  program.Click(ID_VERIFY);
  Check(WaitFor(
            [&] { return SendMessageA(program.Item(ID_VERIFY), BM_GETCHECK, 0, 0) == BST_CHECKED; },
            3000),
        "the check box ticks");
  Exit(program);
}

void RefusedStartScenario() {
  Program program;
  Check(program.Start(Option("program")), "the program starts");
  AnswerBox(program, "ERROR", Option("text"), "box");
  Check(program.FindMain() == nullptr, "no window was shown");
  const DWORD code = program.WaitExit(10000);
  Check(code != STILL_ACTIVE, "the program ends after the box");
  Check(program.FindMain() == nullptr, "still no window");
  program.Kill();
}

void LoadScenario() {
  Program program;
  if (!Launch(program)) return program.Kill();
  LoadFile(program, Option("good"), "open-dialog");
  const std::string title = std::string(TITLE_PREFIX) + Option("good-name");
  const std::string codeSize = " Code size: " + Option("good-size") + "(B)";
  // the title, the button and the label change one after another
  WaitFor([&] { return TextOf(program.main) == title && program.Label(ID_CODE_SIZE) == codeSize; },
          10000);
  CheckText(TextOf(program.main), title, "title names the file");
  CheckText(program.Label(ID_CODE_SIZE), codeSize, "code size");
  Check(IsWindowEnabled(program.Item(ID_UPDATE)) != FALSE, "Update enabled");
  CheckIdle(program, "after loading");
  Shot(program, "loaded");

  LoadFile(program, Option("bad"), "");
  AnswerBox(program, "ERROR", Option("bad-text"), "bad-file");
  CheckText(TextOf(program.main), title, "a failed load keeps the title");
  CheckText(program.Label(ID_CODE_SIZE), " Code size: " + Option("good-size") + "(B)",
            "a failed load keeps the code size");
  Check(IsWindowEnabled(program.Item(ID_UPDATE)) != FALSE, "Update stays enabled");

  // a cancelled Open dialog changes nothing
  Press(program, ID_LOAD_FILE);
  AnswerFileDialog(program, "", "", "", true);
  Sleep(500);
  CheckText(TextOf(program.main), title, "a cancelled load keeps the title");
  Check(program.Windows().size() == 1, "no box after a cancelled load");
  Exit(program);
}

void UpdateScenario() {
  Program program;
  if (!Launch(program)) return program.Kill();
  LoadFile(program, Option("image"), "");
  Check(WaitFor([&] { return IsWindowEnabled(program.Item(ID_UPDATE)) != FALSE; }, 10000),
        "the image loads");
  program.Click(ID_VERIFY);
  WaitFor([&] { return SendMessageA(program.Item(ID_VERIFY), BM_GETCHECK, 0, 0) == BST_CHECKED; },
          3000);
  Press(program, ID_UPDATE);

  // while the device is busy erasing, the window keeps answering and painting
  const bool erasing = WaitFor([&] { return program.Label(ID_STATUS) == "Erasing..."; }, 20000);
  Check(erasing, "the status line shows the erase");
  if (erasing) {
    std::vector<int> positions;
    bool answered = true;
    for (int i = 0; i < 12 && program.Label(ID_STATUS) == "Erasing..."; ++i) {
      const int pos = program.ProgressPos();
      if (pos < 0) answered = false;
      if (positions.empty() || positions.back() != pos) positions.push_back(pos);
      if (i == 2) Shot(program, "erasing");
      Sleep(250);
    }
    Check(answered, "the window answers during the erase");
    Check(positions.size() >= 2 && positions.front() >= 5 && positions.back() <= 30,
          "the bar moves during the erase", std::to_string(positions.size()) + " positions seen");
    Check(program.ProgressShown(), "the bar is shown during the erase");
  }
  AnswerBox(program, "Status", "Updated OK!", "updated-box", IDOK, 60000);
  CheckIdle(program, "after the update");
  CheckText(program.Label(ID_VENDOR_ID), Option("vendor"), "flash maker label");
  CheckText(program.Label(ID_CHIP_ID), Option("chip"), "flash part label");
  CheckText(program.Label(ID_ROM_SIZE), Option("rom"), "ROM size label");
  CheckText(program.Label(ID_FW_VERSION), Option("fw"), "firmware label");
  Shot(program, "updated");
  Exit(program);

  // the emulated flash now holds the image
  const std::vector<unsigned char> image = ReadAll(Option("image-bin"));
  const std::vector<unsigned char> flash = ReadAll(Option("flash"));
  Check(!image.empty() && flash.size() == 65536 &&
            std::equal(image.begin(), image.end(), flash.begin()),
        "the flash holds the image", std::to_string(flash.size()) + " flash bytes");
}

void ReadRomScenario() {
  Program program;
  if (!Launch(program)) return program.Kill();
  const std::string out = Option("out");
  DeleteFileA(out.c_str());

  // cancelled save: no file and no message
  Press(program, ID_READ_ROM);
  AnswerBox(program, "Status", "Finished read! (Save As...)", "finished", IDOK, 60000);
  AnswerFileDialog(program, "", "", "output.bin", true);
  WaitIdle(program);
  Check(!Exists(out) && program.Windows().size() == 1, "a cancelled save writes nothing");
  CheckIdle(program, "after a cancelled save");

  Press(program, ID_READ_ROM);
  AnswerBox(program, "Status", "Finished read! (Save As...)", "", IDOK, 60000);
  AnswerFileDialog(program, out, "save-dialog", "output.bin");
  WaitIdle(program);
  CheckIdle(program, "after saving");
  CheckText(program.Label(ID_VENDOR_ID), Option("vendor"), "flash maker label");
  CheckText(program.Label(ID_ROM_SIZE), Option("rom"), "ROM size label");
  Shot(program, "saved");
  const std::vector<unsigned char> flash = ReadAll(Option("flash"));
  const std::vector<unsigned char> saved = ReadAll(out);
  Check(flash.size() == 65536 && saved == flash, "the saved file equals the flash",
        std::to_string(saved.size()) + " bytes saved");

  // saving over it again: the platform asks first; on yes the file is replaced
  HANDLE marker = CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(marker, "old", 3, &written, nullptr);
  CloseHandle(marker);
  Press(program, ID_READ_ROM);
  AnswerBox(program, "Status", "Finished read! (Save As...)", "", IDOK, 60000);
  AnswerFileDialog(program, out, "");
  const HWND ask = WaitFor([&] { return program.FindYesNoBox(); }, 10000);
  Check(ask != nullptr, "replacing a file is asked first");
  if (ask) {
    Shot(program, "replace");
    PostMessageA(ask, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
  }
  WaitIdle(program);
  Sleep(300);
  Check(ReadAll(out) == flash, "the confirmed file is replaced");
  Exit(program);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s SCENARIO PROGRAM SHOTS_DIR [KEY=VALUE ...]\n", argv[0]);
    return 2;
  }
  scenario = argv[1];
  options["program"] = argv[2];
  shotsDir = argv[3];
  for (int i = 4; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq) options[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
  }
  if (scenario == "start") {
    StartScenario();
  } else if (scenario == "refused-start") {
    RefusedStartScenario();
  } else if (scenario == "load") {
    LoadScenario();
  } else if (scenario.rfind("update", 0) == 0) {
    UpdateScenario();
  } else if (scenario.rfind("read-rom", 0) == 0) {
    ReadRomScenario();
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  std::printf("%s: %d checks, %d failed\n", scenario.c_str(), checks, failures);
  return failures == 0 ? 0 : 1;
}
