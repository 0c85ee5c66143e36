#include "support/dialog_host.h"

namespace zq::test {

bool DialogHost::Start(uint32_t platformId) {
  platform.platformId = platformId;
  if (dialog->OnCreate() != 0) return false;
  dialog->OnInitDialog();
  window.ClearTrail();
  return true;
}

bool DialogHost::Load(const std::vector<uint8_t>& bytes, const std::string& path) {
  files.AddFile(path, bytes);
  window.AnswerOpen(path);
  const size_t boxes = window.boxes.size();
  dialog->OnLoadFile();
  return window.boxes.size() == boxes;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  uint8_t value = seed;
  for (uint8_t& b : bytes) {
    value = static_cast<uint8_t>(value * 29 + 7);  // no byte is 0xFF-only or zero-only for long
    b = value;
  }
  return bytes;
}

}  // namespace zq::test
