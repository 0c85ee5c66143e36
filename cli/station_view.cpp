#include "cli/station_view.h"

#include <algorithm>

#include "cli/terminal_window.h"
#include "transport/spin_lock.h"

namespace zq::cli {

void StationView::Begin(const std::string& image, const std::vector<std::string>& ports) {
  SpinLock lock(busy_);
  image_ = EscapeControls(image);
  for (const std::string& port : ports) Find(port);
  Show("station: updating every bridge plugged in with '" + image_ +
       "'; waiting for bridges (Ctrl-C ends)");
}

void StationView::Taken(const std::string& port, const std::string& serial,
                        const std::string& device) {
  SpinLock lock(busy_);
  Port& line = Find(port);
  line.serial = EscapeControls(serial);
  line.device = EscapeControls(device);
  line.state = State::Updating;
  line.percent = -1;
  line.words.clear();
  // the device is named where the port is not it
  const std::string name = line.port == line.device ? "" : ": " + line.device;
  Show(line.port + name + (serial.empty() ? "" : " (serial " + line.serial + ")") + ": updating");
}

void StationView::Progress(const std::string& port, int percent) {
  SpinLock lock(busy_);
  Port& line = Find(port);
  if (line.state != State::Updating || line.percent == percent) return;
  line.percent = percent;
  // a plain line for every percent would drown the events
  if (live_) Draw();
}

void StationView::Ended(const std::string& port, bool passed, const std::string& words) {
  SpinLock lock(busy_);
  Port& line = Find(port);
  line.state = passed ? State::Passed : State::Failed;
  line.words = EscapeControls(words);
  (passed ? passed_ : failed_) += 1;
  Show(line.port + ": " + StateText(line) + " (passed " + std::to_string(passed_) + ", failed " +
       std::to_string(failed_) + ")");
}

void StationView::PulledOut(const std::string& port) {
  SpinLock lock(busy_);
  Port& line = Find(port);
  line.state = State::Waiting;
  line.serial.clear();
  line.device.clear();
  Show(line.port + ": pulled out");
}

void StationView::Note(const std::string& text) {
  SpinLock lock(busy_);
  if (!live_) {
    Plain(text);
    return;
  }
  Clear();
  std::fprintf(err_, "zq5210: %s\n", EscapeControls(text).c_str());
  Draw();
}

StationView::Port& StationView::Find(const std::string& port) {
  const std::string shown = EscapeControls(port);
  const auto found =
      std::find_if(ports_.begin(), ports_.end(), [&](const Port& p) { return p.port == shown; });
  if (found != ports_.end()) return *found;
  Port line;
  line.port = shown;
  ports_.push_back(line);
  return ports_.back();
}

void StationView::Show(const std::string& plain) {
  if (live_) {
    Draw();
  } else {
    Plain(plain);
  }
}

void StationView::Plain(const std::string& text) {
  std::fprintf(err_, "zq5210: %s\n", text.c_str());
  std::fflush(err_);
}

std::string StationView::StateText(const Port& port) const {
  switch (port.state) {
    case State::Waiting:
      return "waiting";
    case State::Updating:
      return port.percent < 0 ? "updating" : "updating " + std::to_string(port.percent) + " %";
    case State::Passed:
      return "passed: " + port.words;
    case State::Failed:
      break;
  }
  return "failed: " + port.words;
}

void StationView::Clear() {
  // back to the table's first line, and everything from there on erased
  if (drawn_ > 0) std::fprintf(err_, "\033[%dA", drawn_);
  std::fprintf(err_, "\r\033[J");
  drawn_ = 0;
}

void StationView::Draw() {
  Clear();
  // lines wider than the terminal are cut there rather than wrapped, so the
  // count of lines to go back over stays right
  std::fprintf(err_, "\033[?7l");
  std::fprintf(err_, "station: '%s'   passed %u   failed %u   (Ctrl-C ends)\n", image_.c_str(),
               passed_, failed_);
  std::fprintf(err_, "%-14s %-14s %-12s %s\n", "PORT", "SERIAL", "DEVICE", "STATE");
  drawn_ = 2;
  for (const Port& port : ports_) {
    std::fprintf(err_, "%-14s %-14s %-12s %s\n", port.port.c_str(),
                 port.serial.empty() ? "-" : port.serial.c_str(),
                 port.device.empty() ? "-" : port.device.c_str(), StateText(port).c_str());
    ++drawn_;
  }
  std::fprintf(err_, "\033[?7h");
  std::fflush(err_);
}

}  // namespace zq::cli
