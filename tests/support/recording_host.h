// The recording host: a window and a platform that remember every call, so
// tests can state whole sequences of texts, positions and message boxes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/operation_view.h"
#include "app/platform.h"
#include "app/window_port.h"
#include "resources/resource.h"

namespace zq::test {

struct RecordedBox {
  std::string text;
  std::string caption;
  BoxKind kind = BoxKind::Notice;
  // What the window showed while the box was up.
  std::string status;
  int progress = 0;
  bool progressVisible = false;
};

// The window's name for a control ("IDC_STATUS"), as the events show it.
std::string ControlName(int controlId);

class RecordingWindow : public WindowPort {
 public:
  RecordingWindow();

  void SetControlText(int controlId, const std::string& text) override;
  void SetTitle(const std::string& text) override;
  void EnableControl(int controlId, bool enable) override;
  void ShowControl(int controlId, bool show) override;
  void SetProgressRange(int controlId, uint16_t low, uint16_t high) override;
  void SetProgressPos(int controlId, int pos) override;
  bool IsChecked(int controlId) override;
  void ShowBox(const std::string& text, const std::string& caption, BoxKind kind) override;
  bool OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) override;
  bool SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) override;

  // Answers for the next dialogs; an empty answer cancels. With none queued
  // the dialog is cancelled.
  void AnswerOpen(const std::string& path) { openAnswers.push_back(path); }
  void AnswerSave(const std::string& path) { saveAnswers.push_back(path); }
  void CancelNextDialog(bool open) { (open ? openAnswers : saveAnswers).push_back(std::nullopt); }

  const std::string& Text(int controlId) const;
  std::vector<std::string> StatusTexts() const;  // every status text set, in order
  std::vector<int> ProgressTrail() const;        // every position set, in order
  void ClearTrail() {
    events.clear();
    boxes.clear();
  }

  // Every call as a readable line ("text IDC_STATUS Erasing...", "pos 40", "show IDC_PROGRESS 1",
  // ...).
  std::vector<std::string> events;
  std::vector<RecordedBox> boxes;
  std::vector<FileDialogRequest> openRequests;
  std::vector<FileDialogRequest> saveRequests;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, bool> visible;
  std::map<int, bool> checked;
  std::string title;
  int progressPos = 0;
  uint16_t rangeLow = 0;
  uint16_t rangeHigh = 0;
  std::function<void(const RecordedBox&)> onBox;

 private:
  bool Answer(std::deque<std::optional<std::string>>& answers, FileChoice& choice);
  std::deque<std::optional<std::string>> openAnswers;
  std::deque<std::optional<std::string>> saveAnswers;
};

// An operation's view with no window behind it: every call as a line that
// names what was shown ("status Erasing...", "progress 40", "chip ...").
class RecordingView final : public OperationView {
 public:
  void ShowStatus(const std::string& text) override { events.push_back("status " + text); }
  void BeginProgress() override { events.push_back("progress begun"); }
  void ShowProgress(uint8_t pos) override { events.push_back("progress " + std::to_string(pos)); }
  void HideProgress() override { events.push_back("progress hidden"); }
  void ShowChipInfo(const ChipInfo& info) override;
  void ShowError(const std::string& text) override { events.push_back("error " + text); }
  void ShowNotice(const std::string& text) override { events.push_back("notice " + text); }

  std::vector<std::string> events;
};

class FakePlatform : public Platform {
 public:
  FakePlatform(PassThroughPort* passThrough, AspiLayer* aspi)
      : passThrough_(passThrough), aspi_(aspi) {}

  PlatformFamily Family() override { return family; }
  // Records the library calls a Windows platform makes on the way.
  AspiLayer* LoadAspi() override;
  PassThroughPort& PassThrough() override { return *passThrough_; }

  PlatformFamily family = PlatformFamily::Nt;
  bool libraryPresent = true;
  std::vector<std::string> entryPoints = {"GetASPI32SupportInfo", "SendASPI32Command"};
  bool libraryLoaded = false;
  std::vector<std::string> calls;

 private:
  PassThroughPort* passThrough_;
  AspiLayer* aspi_;
};

}  // namespace zq::test
