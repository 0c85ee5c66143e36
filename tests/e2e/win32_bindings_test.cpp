// The Win32 bindings against the real platform (run under Wine): the window
// template as built, the dialog layer, the window port, the message pump and
// the file port.
#include <gtest/gtest.h>

#include "platform/win32/win32_headers.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "emulator/emulated_pass_through.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/message_pump.h"
#include "platform/win32/window/dialog.h"
#include "platform/win32/window/file_dialog_text.h"
#include "platform/win32/window/updater_window.h"
#include "platform/win32/window/window_port_win32.h"
#include "resources/resource.h"
#include "tests/e2e/test_thread.h"
#include "tests/e2e/window_text.h"

namespace zq {
namespace {

// A literal with its embedded NULs, without the terminator.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

void InitControls() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
}

// Template 102 made modeless, so a test can look at it without a modal loop.
class TemplateWindow {
 public:
  TemplateWindow() {
    InitControls();
    hwnd_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPDATER_DIALOG),
                               nullptr, &Proc, 0);
  }
  ~TemplateWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
  }
  HWND Handle() const { return hwnd_; }
  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  // The dialog manager converts the origin and the size each on its own.
  RECT Dlu(int x, int y, int w, int h) const {
    RECT r{x, y, w, h};
    MapDialogRect(hwnd_, &r);
    return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
  }

  static std::vector<UINT> seen;  // WM_APP messages that reached the window

 private:
  static INT_PTR CALLBACK Proc(HWND, UINT message, WPARAM, LPARAM) {
    if (message == WM_APP || message == WM_APP + 1) seen.push_back(message);
    return message == WM_INITDIALOG;
  }
  HWND hwnd_;
};
std::vector<UINT> TemplateWindow::seen;

// ---- the template as built ----

struct ControlRow {
  int id;
  const char* cls;
  const char* text;  // as the template has it
  int x, y, w, h;
  DWORD kind;   // the low style bits that make the control's kind
  DWORD extra;  // further style bits that must be set
  bool tabStop;
  bool visible;
  bool enabled;
};

const ControlRow TEMPLATE_ROWS[] = {
    {IDC_LOAD_FILE, "Button", "Load File...", 4, 67, 50, 14, BS_PUSHBUTTON, 0, true, true, true},
    {IDC_UPDATE, "Button", "Update", 54, 67, 50, 14, BS_PUSHBUTTON, 0, true, true, false},
    {IDC_READ_ROM, "Button", "Read ROM...", 103, 67, 50, 14, BS_PUSHBUTTON, BS_CENTER, true, true,
     true},
    {IDC_EXIT, "Button", "Exit", 153, 67, 50, 14, BS_PUSHBUTTON, 0, true, true, true},
    {IDC_STATUS, "Static", "status message", 5, 5, 195, 9, SS_LEFT, 0, false, true, true},
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 3, 21, 197, 8, 0, PBS_SMOOTH, false, false,
     true},
    {IDC_ROM_SIZE, "Static", " ROM size: 6666(KB)", 213, 26, 82, 12, SS_LEFT, SS_CENTERIMAGE, false,
     true, true},
    {IDC_CODE_SIZE, "Static", " Code size: 66666666(B)", 213, 13, 82, 12, SS_LEFT, SS_CENTERIMAGE,
     false, true, true},
    {IDC_FW_VERSION, "Static", " FW ver.2003.03.03.000", 213, 39, 82, 12, SS_LEFT, SS_CENTERIMAGE,
     false, true, true},
    {IDC_CHIP_ID, "Static", " Chip ID: XXXXXXXX", 213, 65, 82, 12, SS_LEFT, SS_CENTERIMAGE, false,
     true, true},
    {IDC_VENDOR_ID, "Static", " Vendor ID: XXXXXXX", 213, 52, 82, 12, SS_LEFT, SS_CENTERIMAGE,
     false, true, true},
    {IDC_VERIFY, "Button", "Enable verification", 4, 55, 74, 9, BS_AUTOCHECKBOX, 0, true, true,
     true},
    {-1, "Button", "", 206, 3, 97, 79, BS_GROUPBOX, 0, false, true, true},
};

TEST(Template, WindowFrameSizeAndFont) {
  TemplateWindow window;
  ASSERT_NE(window.Handle(), nullptr);
  const DWORD style = static_cast<DWORD>(GetWindowLongA(window.Handle(), GWL_STYLE));
  for (DWORD bit : {DWORD{WS_POPUP}, DWORD{WS_CAPTION}, DWORD{WS_SYSMENU}, DWORD{DS_MODALFRAME}}) {
    EXPECT_EQ(style & bit, bit) << std::hex << bit;
  }
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
  EXPECT_NE(GetWindowLongA(window.Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  EXPECT_EQ(TextOf(window.Handle()), "program version - filename");

  RECT client;
  GetClientRect(window.Handle(), &client);
  const RECT expected = window.Dlu(0, 0, 309, 89);
  EXPECT_EQ(client.right, expected.right);
  EXPECT_EQ(client.bottom, expected.bottom);

  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(window.Handle(), WM_GETFONT, 0, 0));
  ASSERT_NE(font, nullptr);
  LOGFONTW face{};
  ASSERT_NE(GetObjectW(font, sizeof(face), &face), 0);
  EXPECT_EQ(std::wstring(face.lfFaceName), std::wstring(L"\x65b0\x7d30\x660e\x9ad4"));
  const HDC screen = GetDC(nullptr);
  EXPECT_EQ(face.lfHeight, -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72));
  ReleaseDC(nullptr, screen);
}

TEST(Template, EveryControlInTabOrderWithItsKindTextPlaceAndState) {
  TemplateWindow window;
  ASSERT_NE(window.Handle(), nullptr);
  HWND child = GetWindow(window.Handle(), GW_CHILD);
  for (const ControlRow& row : TEMPLATE_ROWS) {
    SCOPED_TRACE(row.text);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetDlgCtrlID(child), row.id);
    EXPECT_STRCASEEQ(ClassOf(child).c_str(), row.cls);
    EXPECT_EQ(TextOf(child), row.text);
    const DWORD style = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
    if (row.cls == std::string("Button")) {
      EXPECT_EQ(style & BS_TYPEMASK, row.kind);
    } else if (row.cls == std::string("Static")) {
      EXPECT_EQ(style & SS_TYPEMASK, row.kind);
    }
    EXPECT_EQ(style & row.extra, row.extra);
    EXPECT_EQ((style & WS_TABSTOP) != 0, row.tabStop);
    EXPECT_EQ((style & WS_VISIBLE) != 0, row.visible);
    EXPECT_EQ(IsWindowEnabled(child) != FALSE, row.enabled);

    RECT placed;
    GetWindowRect(child, &placed);
    MapWindowPoints(nullptr, window.Handle(), reinterpret_cast<POINT*>(&placed), 2);
    const RECT expected = window.Dlu(row.x, row.y, row.w, row.h);
    EXPECT_EQ(placed.left, expected.left);
    EXPECT_EQ(placed.top, expected.top);
    EXPECT_EQ(placed.right, expected.right);
    EXPECT_EQ(placed.bottom, expected.bottom);
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "a control beyond the template's";
  EXPECT_EQ(SendMessageA(window.Item(IDC_VERIFY), BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

#pragma pack(push, 2)
struct IconGroupEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(Template, IconHasA32And16ImageOf16Colours) {
  const HMODULE self = GetModuleHandleA(nullptr);
  const HRSRC group = FindResourceA(self, MAKEINTRESOURCEA(IDI_UPDATER_ICON), RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(self, group)));
  WORD count = 0;
  std::memcpy(&count, bytes + 4, sizeof(count));
  ASSERT_EQ(count, 2);
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    IconGroupEntry entry;
    std::memcpy(&entry, bytes + 6 + i * sizeof(IconGroupEntry), sizeof(entry));
    EXPECT_EQ(entry.width, entry.height);
    EXPECT_EQ(entry.bitCount, 4);
    EXPECT_EQ(entry.colours, 16);
    sizes.push_back(entry.width);
  }
  EXPECT_EQ(sizes, (std::vector<int>{32, 16}));
  EXPECT_NE(LoadIconA(self, MAKEINTRESOURCEA(IDI_UPDATER_ICON)), nullptr);
}

TEST(Template, ManifestAsksForCommonControls6AndAdministrator) {
  const HMODULE self = GetModuleHandleA(nullptr);
  const HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(self, found))),
                         SizeofResource(self, found));
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(text.find("dpiAware"), std::string::npos);
}

TEST(Template, VersionInformationNamesTheRelease) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 2));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 4));
}

// ---- the dialog layer ----

class ProbeDialog : public Dialog {
 public:
  explicit ProbeDialog(int createResult) : createResult_(createResult) {}
  std::vector<std::string> calls;
  bool visibleAtCreate = true;
  bool controlsAtCreate = true;
  std::vector<std::pair<UINT, WPARAM>> closeWith;  // posted once the window is up

 protected:
  int OnCreate() override {
    calls.push_back("create");
    visibleAtCreate = IsWindowVisible(Handle()) != FALSE;
    controlsAtCreate = GetWindow(Handle(), GW_CHILD) != nullptr;
    return createResult_;
  }
  BOOL OnInitDialog() override {
    calls.push_back("init");
    for (const auto& [message, wParam] : closeWith) PostMessageA(Handle(), message, wParam, 0);
    return TRUE;
  }

 private:
  int createResult_;
};

TEST(DialogLayer, RefusedCreationShowsNoWindowAndReturnsMinusOne) {
  InitControls();
  ProbeDialog dialog(-1);
  EXPECT_EQ(dialog.RunModal(GetModuleHandleA(nullptr), IDD_UPDATER_DIALOG, nullptr), -1);
  EXPECT_EQ(dialog.calls, (std::vector<std::string>{"create"}));
  EXPECT_FALSE(dialog.visibleAtCreate);
  EXPECT_FALSE(dialog.controlsAtCreate);
}

TEST(DialogLayer, CreateComesBeforeInitAndEachCloseEndsTheRun) {
  InitControls();
  struct Case {
    const char* name;
    UINT message;
    WPARAM wParam;
  };
  const Case cases[] = {
      {"Exit button", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)},
      {"close box", WM_SYSCOMMAND, SC_CLOSE},
      {"window closed", WM_CLOSE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeDialog dialog(0);
    dialog.closeWith = {{c.message, c.wParam}};
    EXPECT_EQ(dialog.RunModal(GetModuleHandleA(nullptr), IDD_UPDATER_DIALOG, nullptr), IDCANCEL);
    EXPECT_EQ(dialog.calls, (std::vector<std::string>{"create", "init"}));
    EXPECT_FALSE(dialog.visibleAtCreate);
  }
}

TEST(DialogLayer, OtherCommandsDoNotEndTheRun) {
  InitControls();
  ProbeDialog dialog(0);
  // Update and Load File have no handler in the bare layer; only the cancel that follows ends it
  dialog.closeWith = {{WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)},
                      {WM_COMMAND, MAKEWPARAM(IDC_LOAD_FILE, BN_CLICKED)},
                      {WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)}};
  EXPECT_EQ(dialog.RunModal(GetModuleHandleA(nullptr), IDD_UPDATER_DIALOG, nullptr), IDCANCEL);
}

TEST(DialogLayer, MinimisedIconIsCentredRoundingTowardsZero) {
  struct Case {
    RECT client;
    LONG x, y;
  };
  const Case cases[] = {
      {{0, 0, 100, 50}, 34, 9},   // (100-32+1)/2, (50-32+1)/2
      {{0, 0, 32, 32}, 0, 0},     // exactly the icon
      {{0, 0, 33, 34}, 1, 1},     // odd and even remainders
      {{0, 0, 10, 0}, -10, -15},  // smaller than the icon: -21/2 and -31/2 truncate
      {{5, 5, 105, 55}, 34, 9},   // only the size counts
  };
  for (const Case& c : cases) {
    const POINT at = IconOrigin(c.client, 32, 32);
    EXPECT_EQ(at.x, c.x);
    EXPECT_EQ(at.y, c.y);
  }
}

// ---- the window port ----

TEST(WindowPort, ChangesReachTheControls) {
  TemplateWindow window;
  Win32WindowPort port;
  port.Attach(window.Handle());

  port.SetControlText(IDC_STATUS, "Erasing...");
  EXPECT_EQ(TextOf(window.Item(IDC_STATUS)), "Erasing...");
  port.SetTitle("ZQ5210  Tarnwick 2.1.4 QD94N - a.bin");
  EXPECT_EQ(TextOf(window.Handle()), "ZQ5210  Tarnwick 2.1.4 QD94N - a.bin");

  port.EnableControl(IDC_UPDATE, true);
  EXPECT_TRUE(IsWindowEnabled(window.Item(IDC_UPDATE)));
  port.EnableControl(IDC_UPDATE, false);
  EXPECT_FALSE(IsWindowEnabled(window.Item(IDC_UPDATE)));

  port.ShowControl(IDC_PROGRESS, true);
  EXPECT_NE(GetWindowLongA(window.Item(IDC_PROGRESS), GWL_STYLE) & WS_VISIBLE, 0);
  port.ShowControl(IDC_PROGRESS, false);
  EXPECT_EQ(GetWindowLongA(window.Item(IDC_PROGRESS), GWL_STYLE) & WS_VISIBLE, 0);

  port.SetProgressRange(IDC_PROGRESS, 0, 100);
  PBRANGE range{};
  SendMessageA(window.Item(IDC_PROGRESS), PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  for (int pos : {0, 40, 75, 100}) {
    port.SetProgressPos(IDC_PROGRESS, pos);
    EXPECT_EQ(SendMessageA(window.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), pos);
  }
}

TEST(WindowPort, ReadsTheCheckBoxAsTheUserLeftIt) {
  TemplateWindow window;
  Win32WindowPort port;
  port.Attach(window.Handle());
  EXPECT_FALSE(port.IsChecked(IDC_VERIFY));
  SendMessageA(window.Item(IDC_VERIFY), BM_SETCHECK, BST_CHECKED, 0);
  EXPECT_TRUE(port.IsChecked(IDC_VERIFY));
  // a click on the automatic check box toggles it
  SendMessageA(window.Item(IDC_VERIFY), BM_CLICK, 0, 0);
  EXPECT_FALSE(port.IsChecked(IDC_VERIFY));
  SendMessageA(window.Item(IDC_VERIFY), BM_CLICK, 0, 0);
  EXPECT_TRUE(port.IsChecked(IDC_VERIFY));
}

TEST(WindowPort, LiveChangesServeWaitingMessagesButDropInput) {
  TemplateWindow window;
  Win32WindowPort port;
  port.Attach(window.Handle());
  TemplateWindow::seen.clear();

  port.SetControlText(IDC_STATUS, "idle");  // not live: nothing is pumped
  PostMessageA(window.Handle(), WM_APP, 0, 0);
  port.SetControlText(IDC_STATUS, "still idle");
  EXPECT_TRUE(TemplateWindow::seen.empty());

  port.SetLive(true);
  PostMessageA(window.Handle(), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(window.Item(IDC_LOAD_FILE), WM_LBUTTONDOWN, 0, 0);
  port.SetControlText(IDC_STATUS, "Writing ROM code...");
  EXPECT_EQ(TemplateWindow::seen, (std::vector<UINT>{WM_APP}));
  MSG left;
  EXPECT_FALSE(PeekMessageA(&left, nullptr, 0, 0, PM_REMOVE)) << "input should have been dropped";
}

TEST(FileDialogText, FilterBecomesNulSeparatedWithClosingPair) {
  const std::pair<std::string, std::string> cases[] = {
      {"ROM Code Files (*.bin;*.hex)|*.bin; *.hex||",
       Bytes("ROM Code Files (*.bin;*.hex)\0*.bin; *.hex\0\0")},
      {"ROM Code Files (*.bin)|*.bin||", Bytes("ROM Code Files (*.bin)\0*.bin\0\0")},
      {"A|*.a|B|*.b||", Bytes("A\0*.a\0B\0*.b\0\0")},
      {"A|*.a", Bytes("A\0*.a\0\0")},  // unterminated: still closed
      {"A|*.a|", Bytes("A\0*.a\0\0")},
      {"", ""},
  };
  for (const auto& [filter, expected] : cases) {
    EXPECT_EQ(FilterToNulSeparated(filter), expected) << filter;
  }
}

// ---- the message pump ----

TEST(MessagePump, InputMessagesAreTheKeyboardAndMouseOnes) {
  for (UINT m : std::initializer_list<UINT>{
           WM_KEYDOWN, WM_KEYUP, WM_CHAR, WM_SYSKEYDOWN, WM_LBUTTONDOWN, WM_LBUTTONUP,
           WM_RBUTTONDOWN, WM_MOUSEMOVE, WM_MOUSEWHEEL, WM_NCLBUTTONDOWN, WM_NCMOUSEMOVE}) {
    EXPECT_TRUE(IsUserInputMessage(m)) << std::hex << m;
  }
  for (UINT m : std::initializer_list<UINT>{WM_PAINT, WM_TIMER, WM_COMMAND, WM_APP, WM_SETTEXT,
                                            WM_NULL, WM_CLOSE}) {
    EXPECT_FALSE(IsUserInputMessage(m)) << std::hex << m;
  }
}

TEST(MessagePump, SleepWaitsServesMessagesDropsInputAndKeepsQuit) {
  TemplateWindow window;
  TemplateWindow::seen.clear();
  PostMessageA(window.Handle(), WM_APP, 0, 0);
  PostMessageA(window.Handle(), WM_CHAR, 'x', 0);
  // a message that arrives in the middle of the wait is served too
  const DWORD thread = GetCurrentThreadId();
  const HWND target = window.Handle();
  TestThread late([target] {
    Sleep(60);
    PostMessageA(target, WM_APP + 1, 0, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  PumpingSleep(200);
  const auto waited = std::chrono::steady_clock::now() - start;
  late.join();
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  EXPECT_EQ(TemplateWindow::seen, (std::vector<UINT>{WM_APP, WM_APP + 1}));

  PostThreadMessageA(thread, WM_QUIT, 7, 0);
  PumpingSleep(20);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

// ---- the file port ----

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    folder_ = std::string(base) + "zq-files-" + std::to_string(GetCurrentProcessId()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(folder_.c_str(), nullptr);
  }
  void TearDown() override {
    for (const std::string& name : Names()) {
      const std::string path = folder_ + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(folder_.c_str());
  }
  std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
  }
  void Put(const std::string& name, const std::string& bytes) {
    const HANDLE file = CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  std::string Get(const std::string& name) {
    Win32FilePort port;
    auto file = port.OpenForRead(Path(name));
    if (!file) return "<missing>";
    std::string bytes(100000, '\0');
    uint32_t got = 0;
    file->Read(reinterpret_cast<uint8_t*>(bytes.data()), 100000, got);
    bytes.resize(got);
    return bytes;
  }
  bool Save(const std::string& name, const std::string& bytes) {
    Win32FilePort port;
    auto out = port.CreateForWrite(Path(name));
    if (!out) return false;
    uint32_t written = 0;
    if (!out->Write(reinterpret_cast<const uint8_t*>(bytes.data()),
                    static_cast<uint32_t>(bytes.size()), written)) {
      return false;
    }
    return written == bytes.size() && out->Commit();
  }

  std::string folder_;
};

TEST_F(Win32Files, ReadsSizeAndBytesAndStopsAtTheEnd) {
  Put("image.bin", std::string("\x01\x02\x03\xFF\x00\x7F", 6));
  Win32FilePort port;
  auto file = port.OpenForRead(Path("image.bin"));
  ASSERT_NE(file, nullptr);
  uint32_t size = 0;
  ASSERT_TRUE(file->GetSize(size));
  EXPECT_EQ(size, 6u);
  uint8_t buffer[16] = {};
  uint32_t got = 99;
  ASSERT_TRUE(file->Read(buffer, 4, got));
  EXPECT_EQ(got, 4u);
  ASSERT_TRUE(file->Read(buffer + 4, 16, got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6),
            std::string("\x01\x02\x03\xFF\x00\x7F", 6));
  ASSERT_TRUE(file->Read(buffer, 16, got));
  EXPECT_EQ(got, 0u);
}

TEST_F(Win32Files, MissingOrLockedFilesDoNotOpen) {
  Win32FilePort port;
  EXPECT_EQ(port.OpenForRead(Path("missing.bin")), nullptr);
  Put("locked.bin", "abc");
  // held open by another program that shares nothing
  const HANDLE holder = CreateFileA(Path("locked.bin").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.OpenForRead(Path("locked.bin")), nullptr);
  CloseHandle(holder);
  EXPECT_NE(port.OpenForRead(Path("locked.bin")), nullptr);
  // another reader that shares reading does not lock us out
  const HANDLE reader = CreateFileA(Path("locked.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(port.OpenForRead(Path("locked.bin")), nullptr);
  CloseHandle(reader);
}

TEST_F(Win32Files, CommitReplacesAnExistingFileAndLeavesNoTemporary) {
  Put("output.bin", "old contents that are longer");
  ASSERT_TRUE(Save("output.bin", "new"));
  EXPECT_EQ(Get("output.bin"), "new");
  EXPECT_EQ(Names(), (std::vector<std::string>{"output.bin"}));
  ASSERT_TRUE(Save("fresh.bin", std::string(65536, '\xA5')));
  EXPECT_EQ(Get("fresh.bin"), std::string(65536, '\xA5'));
}

TEST_F(Win32Files, UncommittedFileLeavesTheOldOneAndNoTemporary) {
  Put("output.bin", "keep me");
  {
    Win32FilePort port;
    auto out = port.CreateForWrite(Path("output.bin"));
    ASSERT_NE(out, nullptr);
    uint32_t written = 0;
    ASSERT_TRUE(out->Write(reinterpret_cast<const uint8_t*>("partial"), 7, written));
    EXPECT_EQ(Names().size(), 2u);  // the temporary sits beside it meanwhile
  }
  EXPECT_EQ(Get("output.bin"), "keep me");
  EXPECT_EQ(Names(), (std::vector<std::string>{"output.bin"}));
}

TEST_F(Win32Files, UnwritableDestinationsFailWithoutHarm) {
  Win32FilePort port;
  // a folder that does not exist
  EXPECT_EQ(port.CreateForWrite(Path("no-such-folder\\output.bin")), nullptr);
  // a destination that is a folder
  CreateDirectoryA(Path("sub").c_str(), nullptr);
  EXPECT_EQ(port.CreateForWrite(Path("sub")), nullptr);
  RemoveDirectoryA(Path("sub").c_str());
  // a read-only destination: the commit fails and the old bytes stay
  Put("readonly.bin", "original");
  SetFileAttributesA(Path("readonly.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(Save("readonly.bin", "replacement"));
  EXPECT_EQ(Get("readonly.bin"), "original");
  EXPECT_EQ(Names(), (std::vector<std::string>{"readonly.bin"}));
}

TEST_F(Win32Files, CommitAfterAFailedWriteIsRefused) {
  Win32FilePort port;
  Put("output.bin", "old");
  auto out = port.CreateForWrite(Path("output.bin"));
  ASSERT_NE(out, nullptr);
  uint32_t written = 0;
  // a buffer the system cannot read makes the write fail
  EXPECT_FALSE(out->Write(reinterpret_cast<const uint8_t*>(8), 512, written));
  EXPECT_FALSE(out->Commit());
  out.reset();
  EXPECT_EQ(Get("output.bin"), "old");
  EXPECT_EQ(Names(), (std::vector<std::string>{"output.bin"}));
}

TEST(FolderOf, TemporariesGoBesideTheDestination) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\dumps\\output.bin", "C:\\dumps"},
      {"C:\\output.bin", "C:\\"},
      {"\\output.bin", "\\"},
      {"output.bin", "."},
      {"C:/a/b/output.bin", "C:/a/b"},
      {"\\\\server\\share\\x.bin", "\\\\server\\share"},
  };
  for (const auto& [path, folder] : cases) EXPECT_EQ(FolderOf(path), folder) << path;
}

// ---- the whole window against a stand-in platform ----

class StandInPlatform : public Platform {
 public:
  explicit StandInPlatform(PlatformFamily family) : family_(family) {}
  PlatformFamily Family() override { return family_; }
  AspiLayer* LoadAspi() override { return nullptr; }
  PassThroughPort& PassThrough() override { return port_; }
  EmulatedPassThroughPort port_;  // no devices at all

 private:
  PlatformFamily family_;
};

class NoFiles : public FilePort {
 public:
  std::unique_ptr<InputFile> OpenForRead(const std::string&) override { return nullptr; }
  std::unique_ptr<OutputFile> CreateForWrite(const std::string&) override { return nullptr; }
};

struct CaptionSearch {
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchCaption(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<CaptionSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd) &&
      TextOf(hwnd).rfind(search->caption, 0) == 0) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// A visible top-level window of this process whose caption starts so.
HWND FindVisible(const char* caption, int waitMs) {
  for (int waited = 0;; waited += 20) {
    CaptionSearch search{caption, nullptr};
    EnumWindows(&MatchCaption, reinterpret_cast<LPARAM>(&search));
    if (search.found || waited >= waitMs) return search.found;
    Sleep(20);
  }
}

std::string MessageTextOf(HWND box) {
  std::string text;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) == "Static" && !TextOf(child).empty()) text = TextOf(child);
  }
  return text;
}

TEST(UpdaterWindow, UnknownPlatformShowsItsErrorAndNoWindow) {
  InitControls();
  StandInPlatform platform(PlatformFamily::Other);
  NoFiles files;
  std::atomic<bool> mainSeen{false};
  std::string boxText;
  TestThread user([&] {
    const HWND box = FindVisible("ERROR", 5000);
    mainSeen = FindVisible("ZQ5210", 0) != nullptr;
    if (box) {
      boxText = MessageTextOf(box);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
  });
  UpdaterWindow window(GetModuleHandleA(nullptr), files, platform);
  EXPECT_EQ(window.Run(nullptr), -1);
  user.join();
  EXPECT_EQ(boxText, "The program only works on Win2000/XP/Me/98.");
  EXPECT_FALSE(mainSeen);
}

TEST(UpdaterWindow, CommandsAreIgnoredWhileDisabledOrWhileAnOperationRuns) {
  InitControls();
  StandInPlatform platform(PlatformFamily::Nt);
  NoFiles files;
  std::vector<std::string> boxes;
  bool disabledUpdateShowedBox = true;
  TestThread user([&] {
    const HWND main = FindVisible("ZQ5210", 5000);
    if (!main) return;
    // Update is still disabled: its command (as Enter would send it) does nothing
    SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    disabledUpdateShowedBox = FindVisible("ERROR", 300) != nullptr;
    // Read ROM finds no bridge; while its box is up, further commands are dropped
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_READ_ROM, BN_CLICKED), 0);
    HWND box = FindVisible("ERROR", 5000);
    if (!box) return;
    boxes.push_back(MessageTextOf(box));
    SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_READ_ROM, BN_CLICKED), 0);
    SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Sleep(300);
    box = FindVisible("ERROR", 300);
    if (box) {
      boxes.push_back(MessageTextOf(box));
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    EXPECT_TRUE(IsWindowVisible(main)) << "the dropped cancel closed the window";
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  UpdaterWindow window(GetModuleHandleA(nullptr), files, platform);
  EXPECT_EQ(window.Run(nullptr), IDCANCEL);
  user.join();
  EXPECT_FALSE(disabledUpdateShowedBox);
  EXPECT_EQ(boxes, (std::vector<std::string>{"Can't find or connect to the device."}));
}

}  // namespace
}  // namespace zq
