#include "cli/console.h"

#include <cstdio>

#include "cli/exit_status.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/terminal_window.h"

namespace zq::cli {

int Failed(const std::string& text) {
  Say(text);
  TheReport().Message(text);
  return EXIT_FAILED;
}

void Warn(const std::string& text) {
  Say("warning: " + text);
}

void Say(const std::string& text) {
  std::fprintf(stderr, "zq5210: %s\n", EscapeControls(text).c_str());
}

std::string Quoted(const std::string& path) {
  // built up in place: g++ 12 at -O3 takes "'" + text for an overlapping copy
  std::string quoted(1, '\'');
  quoted += EscapeControls(path);
  quoted += '\'';
  return quoted;
}

void SayDevice(const FoundBridge& bridge) {
  std::fprintf(stderr, "zq5210: device %s\n", DeviceLine(bridge).c_str());
}

void SayWhyNone(Devices& devices) {
  for (const DeviceProblem& problem : devices.Problems()) Say(problem.text);
  if (devices.AccessWasDenied()) {
    Say("a device refused access: run zq5210 from an elevated prompt (\"Run as administrator\")");
  }
}

bool SettleOutput(std::string& path, bool force, bool json, int& status) {
  if (IsStandardOutput(path)) {
    path.assign(1, '-');  // not = "-": g++ 12 at -O3 warns of an overlap that is not there
    if (!json) return true;
    Say("--json and data on standard output exclude each other; write the data to a file");
    TheReport().Message("--json and data on standard output exclude each other");
    status = EXIT_USAGE;
    return false;
  }
  if (IsFolder(path)) {
    status = Failed(Quoted(path) + ": is a folder");
    return false;
  }
  if (!force && WouldReplace(path)) {
    status = Failed(Quoted(path) + " exists; pass --force to replace it");
    return false;
  }
  return true;
}

bool LoadImage(FilePort& files, const std::string& path, ImageBuffer& image) {
  const FileChoice choice = ChoiceForPath(path, &IsPathLeadByte);
  std::string errorText;
  if (LoadImageFile(files, choice.path, choice.name, choice.extension, image, errorText)) {
    return true;
  }
  std::fprintf(stderr, "%s\n", EscapeControls(errorText).c_str());
  if (!files.LastFailure().empty()) Say(files.LastFailure());
  TheReport().Message(errorText);
  return false;
}

bool OpenDevices(const DeviceOptions& options, Devices& devices, int& status) {
  DevicesProblem problem;
  if (!devices.Open(options, problem)) {
    status = problem.kind == DevicesProblem::Kind::Usage ? EXIT_USAGE : EXIT_FAILED;
    TheReport().Message(problem.text);
    if (problem.kind == DevicesProblem::Kind::WindowText) {
      std::fprintf(stderr, "%s\n", EscapeControls(problem.text).c_str());
    } else {
      Say(problem.text);
    }
    return false;
  }
  return true;
}

bool FindChosen(const DeviceOptions& options, Devices& devices, std::vector<FoundBridge>& found,
                int& status) {
  if (!OpenDevices(options, devices, status)) return false;
  found = devices.FindAll();
  std::string why;
  if (devices.KeepNamed(found, why)) return true;
  status = Failed(why);
  return false;
}

bool OnlyOne(const std::vector<FoundBridge>& found) {
  if (found.size() <= 1) return true;
  Failed("several bridges are attached; name one with --device:");
  for (const FoundBridge& bridge : found) {
    std::fprintf(stderr, "  %s\n", DeviceLine(bridge).c_str());
  }
  return false;
}

}  // namespace zq::cli
