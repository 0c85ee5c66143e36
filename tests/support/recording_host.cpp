#include "support/recording_host.h"

#include <algorithm>

#include "protocol/chip_info_display.h"

namespace zq::test {

std::string ControlName(int controlId) {
  switch (controlId) {
    case IDC_UPDATE:
      return "IDC_UPDATE";
    case IDC_EXIT:
      return "IDC_EXIT";
    case IDC_LOAD_FILE:
      return "IDC_LOAD_FILE";
    case IDC_STATUS:
      return "IDC_STATUS";
    case IDC_PROGRESS:
      return "IDC_PROGRESS";
    case IDC_ROM_SIZE:
      return "IDC_ROM_SIZE";
    case IDC_CODE_SIZE:
      return "IDC_CODE_SIZE";
    case IDC_VERIFY:
      return "IDC_VERIFY";
    case IDC_FW_VERSION:
      return "IDC_FW_VERSION";
    case IDC_CHIP_ID:
      return "IDC_CHIP_ID";
    case IDC_READ_ROM:
      return "IDC_READ_ROM";
    case IDC_VENDOR_ID:
      return "IDC_VENDOR_ID";
  }
  return "control " + std::to_string(controlId);  // one the window does not have
}

RecordingWindow::RecordingWindow() {
  // the template's state before initialisation
  enabled[IDC_UPDATE] = false;
  visible[IDC_PROGRESS] = false;
  checked[IDC_VERIFY] = false;
}

void RecordingWindow::SetControlText(int controlId, const std::string& text) {
  texts[controlId] = text;
  events.push_back("text " + ControlName(controlId) + " " + text);
}

void RecordingWindow::SetTitle(const std::string& text) {
  title = text;
  events.push_back("title " + text);
}

void RecordingWindow::EnableControl(int controlId, bool enable) {
  enabled[controlId] = enable;
  events.push_back("enable " + ControlName(controlId) + " " + (enable ? "1" : "0"));
}

void RecordingWindow::ShowControl(int controlId, bool show) {
  visible[controlId] = show;
  events.push_back("show " + ControlName(controlId) + " " + (show ? "1" : "0"));
}

void RecordingWindow::SetProgressRange(int controlId, uint16_t low, uint16_t high) {
  if (controlId == IDC_PROGRESS) {
    rangeLow = low;
    rangeHigh = high;
  }
  events.push_back("range " + std::to_string(low) + " " + std::to_string(high));
}

void RecordingWindow::SetProgressPos(int controlId, int pos) {
  if (controlId == IDC_PROGRESS) progressPos = pos;
  events.push_back("pos " + std::to_string(pos));
}

bool RecordingWindow::IsChecked(int controlId) {
  events.push_back("check? " + ControlName(controlId));
  return checked[controlId];
}

void RecordingWindow::ShowBox(const std::string& text, const std::string& caption, BoxKind kind) {
  RecordedBox box{text, caption, kind, texts[IDC_STATUS], progressPos, visible[IDC_PROGRESS]};
  boxes.push_back(box);
  events.push_back("box " + caption + ": " + text);
  if (onBox) onBox(box);
}

bool RecordingWindow::Answer(std::deque<std::optional<std::string>>& answers, FileChoice& choice) {
  if (answers.empty()) return false;
  std::optional<std::string> answer = answers.front();
  answers.pop_front();
  if (!answer) return false;
  choice = ChoiceForPath(*answer);
  return true;
}

bool RecordingWindow::OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) {
  openRequests.push_back(request);
  events.push_back("open-dialog");
  return Answer(openAnswers, choice);
}

bool RecordingWindow::SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) {
  saveRequests.push_back(request);
  events.push_back("save-dialog");
  return Answer(saveAnswers, choice);
}

const std::string& RecordingWindow::Text(int controlId) const {
  static const std::string empty;
  auto it = texts.find(controlId);
  return it == texts.end() ? empty : it->second;
}

std::vector<std::string> RecordingWindow::StatusTexts() const {
  const std::string prefix = "text IDC_STATUS ";
  std::vector<std::string> result;
  for (const std::string& e : events) {
    if (e.rfind(prefix, 0) == 0) result.push_back(e.substr(prefix.size()));
  }
  return result;
}

std::vector<int> RecordingWindow::ProgressTrail() const {
  std::vector<int> result;
  for (const std::string& e : events) {
    if (e.rfind("pos ", 0) == 0) result.push_back(std::stoi(e.substr(4)));
  }
  return result;
}

void RecordingView::ShowChipInfo(const ChipInfo& info) {
  const ChipLabels labels = FormatChipLabels(info);
  events.push_back("chip" + labels.vendor + " /" + labels.chip + " /" + labels.romSize + " /" +
                   labels.fwVersion);
}

AspiLayer* FakePlatform::LoadAspi() {
  calls.push_back("LoadLibrary WNASPI32");
  libraryLoaded = libraryPresent;
  if (!libraryPresent) return nullptr;
  bool bound = true;
  for (const char* name : {"GetASPI32SupportInfo", "SendASPI32Command"}) {
    calls.push_back(std::string("GetProcAddress ") + name);
    bound = std::find(entryPoints.begin(), entryPoints.end(), name) != entryPoints.end() && bound;
  }
  if (bound) return aspi_;
  calls.push_back("FreeLibrary");
  libraryLoaded = false;
  return nullptr;
}

}  // namespace zq::test
