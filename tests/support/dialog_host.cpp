#include "support/dialog_host.h"

#include <cstdio>

namespace zq::test {

bool DialogHost::Start(PlatformFamily family) {
  platform.family = family;
  if (dialog->OnCreate() != 0) return false;
  dialog->OnInitDialog();
  window.ClearTrail();
  return true;
}

bool DialogHost::StartWithBridge(Path path) {
  if (path == Path::PassThrough) {
    passThrough.AddBridge(InterfaceClass::Disk, chip);
    return Start(PlatformFamily::Nt);
  }
  aspi.UseDefaultSetup(chip);
  return Start(PlatformFamily::Consumer);
}

bool DialogHost::Load(const std::vector<uint8_t>& bytes, const std::string& path) {
  files.AddFile(path, bytes);
  window.AnswerOpen(path);
  const size_t boxes = window.boxes.size();
  dialog->OnLoadFile();
  const bool loaded = window.boxes.size() == boxes;
  window.ClearTrail();
  return loaded;
}

std::vector<std::string> DialogHost::Commands() const {
  std::vector<std::string> lines;
  for (const CommandLogEntry& entry : chip.Log()) {
    char line[32];
    if (entry.opcode == CMD_WRITE || entry.opcode == CMD_READ) {
      std::snprintf(line, sizeof line, "%02X %04X %04X", entry.opcode, entry.address, entry.length);
    } else {
      std::snprintf(line, sizeof line, "%02X", entry.opcode);
    }
    lines.push_back(line);
  }
  return lines;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  uint8_t value = seed;
  for (uint8_t& b : bytes) {
    value = static_cast<uint8_t>(value * 29 + 7);
    b = value;
  }
  return bytes;
}

const char* PathName(Path path) {
  return path == Path::PassThrough ? "PassThrough" : "Aspi";
}

}  // namespace zq::test
