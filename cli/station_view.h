// What a station shows while it runs, on standard error: on a terminal one
// line per port (its serial, device and state) with the running counts,
// redrawn in place under the lines of events; elsewhere a plain line per
// event. Bridges' threads report their progress here: every call may come
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zq::cli {

class StationView {
 public:
  // `live`: `err` is a terminal that takes cursor moves.
  StationView(std::FILE* err, bool live) : err_(err), live_(live) {}

  // What the station waits for; `ports` (may be empty) are shown waiting.
  void Begin(const std::string& image, const std::vector<std::string>& ports);
  // A bridge taken on `port` (its USB port, or its device where none is known).
  void Taken(const std::string& port, const std::string& serial, const std::string& device);
  void Progress(const std::string& port, int percent);
  // Its update ended: `words` says how ("updated", "unchanged") or why it failed.
  void Ended(const std::string& port, bool passed, const std::string& words);
  // Its bridge was pulled out: the port waits for the next.
  void PulledOut(const std::string& port);
  // A line of its own above the ports (a device that cannot be used, a stop).
  void Note(const std::string& text);

  uint32_t Passed() const { return passed_; }
  uint32_t Failed() const { return failed_; }

 private:
  enum class State { Waiting, Updating, Passed, Failed };
  struct Port {
    std::string port;
    std::string serial;
    std::string device;
    State state = State::Waiting;
    int percent = -1;  // none yet
    std::string words;
  };

  Port& Find(const std::string& port);
  // The table redrawn on a terminal, else `plain` as a line of its own.
  void Show(const std::string& plain);
  void Plain(const std::string& text);
  void Clear();
  void Draw();
  std::string StateText(const Port& port) const;

  std::FILE* err_;
  bool live_;
  std::string image_;
  std::vector<Port> ports_;
  uint32_t passed_ = 0;
  uint32_t failed_ = 0;
  int drawn_ = 0;  // lines of the table on the terminal now
  std::atomic_flag busy_;
};

}  // namespace zq::cli
