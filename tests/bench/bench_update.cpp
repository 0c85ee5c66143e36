// A whole 32 768-byte update with verification, on both paths, against the
// emulated bridge with a timing model of a real one. Sleeping is only
// counted, never done, so the wall time measured between device commands is
// the tool's own: the dialog, the transport and the window and port doubles
// around them (an upper bound for the tool itself). The device model's own
// work is measured apart and left out. Prints, per command kind and in
// total, the tool's time against the simulated device time.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "emulator/timing_model.h"
#include "support/dialog_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using zq::test::DialogHost;
using zq::test::Path;

constexpr size_t IMAGE_SIZE = 32768;
constexpr int RUNS = 40;

double MicrosBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// Splits the run's wall time at each device command: the stretch before a
// command is the tool's work for it, the stretch inside is the emulator's.
class Stopwatch final : public zq::CommandObserver {
 public:
  void Start() { mark_ = Clock::now(); }
  void Stop() { tailUs += MicrosBetween(mark_, Clock::now()); }

  bool Admit(const zq::CommandLogEntry& entry) override {
    const Clock::time_point now = Clock::now();
    toolUs[entry.opcode] += MicrosBetween(mark_, now);
    inDevice_ = now;
    return model.Admit(entry);
  }
  void Answered(const zq::CommandLogEntry& entry) override {
    model.Answered(entry);
    mark_ = Clock::now();
    emulatorUs += MicrosBetween(inDevice_, mark_);
  }

  zq::TimingModel model;
  std::map<uint8_t, double> toolUs;
  double tailUs = 0;      // after the last command: compare, box, reset, close
  double emulatorUs = 0;  // the device model, left out of the tool's share

 private:
  Clock::time_point mark_;
  Clock::time_point inDevice_;
};

const char* KindName(uint8_t opcode) {
  switch (opcode) {
    case zq::CMD_GET_INFO:
      return "E0 get info";
    case zq::CMD_ERASE:
      return "E1 erase";
    case zq::CMD_WRITE:
      return "E2 write";
    case zq::CMD_READ:
      return "E3 read";
    case zq::CMD_STATUS:
      return "F7 status";
    default:
      return "other";
  }
}

double Share(double tool, double device) {
  return tool + device > 0 ? 100.0 * tool / (tool + device) : 0;
}

bool Bench(Path path) {
  const std::vector<uint8_t> image = zq::test::Pattern(IMAGE_SIZE, 0x5A);
  Stopwatch watch;
  uint64_t sleptMs = 0;
  for (int run = 0; run < RUNS; ++run) {
    DialogHost host;
    if (!host.StartWithBridge(path) || !host.Load(image)) return false;
    // the chip erases in ~100 ms, so the first poll finds it busy and the
    // one a second later ready
    host.chip.SetBusyAnswers(1);
    host.window.checked[IDC_VERIFY] = true;
    host.chip.SetObserver(&watch);
    watch.Start();
    host.dialog->OnUpdate();
    watch.Stop();
    host.chip.SetObserver(nullptr);
    if (host.window.boxes.size() != 1 || host.window.boxes[0].text != "Updated OK!") {
      std::printf("update failed on the %s path\n", zq::test::PathName(path));
      return false;
    }
    if (path == Path::PassThrough) {
      for (const auto& call : host.passThrough.CallsOf(zq::PortCallKind::Sleep)) {
        sleptMs += call.milliseconds;
      }
    } else {
      for (uint32_t ms : host.aspi.Sleeps()) sleptMs += ms;
    }
  }

  std::printf("\n%s path: %d updates of %zu bytes with verification, per update\n",
              zq::test::PathName(path), RUNS, IMAGE_SIZE);
  std::printf("  %-12s %8s %12s %12s %10s\n", "command", "count", "device ms", "tool ms",
              "tool share");
  double deviceTotal = 0;
  double toolTotal = watch.tailUs / RUNS;
  for (const auto& [opcode, tally] : watch.model.ByOpcode()) {
    const double device = tally.deviceUs / RUNS / 1000.0;
    const double tool = watch.toolUs[opcode] / RUNS / 1000.0;
    deviceTotal += device;
    toolTotal += watch.toolUs[opcode] / RUNS;
    std::printf("  %-12s %8.0f %12.3f %12.4f %9.3f%%\n", KindName(opcode),
                static_cast<double>(tally.commands) / RUNS, device, tool, Share(tool, device));
  }
  toolTotal /= 1000.0;
  std::printf("  %-12s %8s %12s %12.4f\n", "after last", "", "", watch.tailUs / RUNS / 1000.0);
  std::printf("  %-12s %8s %12.3f %12.4f %9.3f%%\n", "total", "", deviceTotal, toolTotal,
              Share(toolTotal, deviceTotal));
  std::printf("  emulator's own time (left out): %.4f ms\n", watch.emulatorUs / RUNS / 1000.0);
  std::printf(
      "  poll waits asked for (not slept): %.0f ms; with them the device-side total is "
      "%.3f ms and the tool share %.4f%%\n",
      static_cast<double>(sleptMs) / RUNS, deviceTotal + static_cast<double>(sleptMs) / RUNS,
      Share(toolTotal, deviceTotal + static_cast<double>(sleptMs) / RUNS));
  return true;
}

}  // namespace

int main() {
  const zq::TimingParameters model;
  std::printf(
      "device model: %.0f us per command, %.0f MB/s data, %.0f us/byte program, "
      "%.1f us/byte read, %.0f ms chip erase\n",
      model.commandLatencyUs, model.transferBytesPerUs, model.programUsPerByte, model.readUsPerByte,
      model.chipEraseUs / 1000.0);
  const bool ok = Bench(Path::PassThrough) && Bench(Path::Aspi);
  return ok ? 0 : 1;
}
