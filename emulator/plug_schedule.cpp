#include "emulator/plug_schedule.h"

#include <algorithm>
#include <chrono>

#include "emulator/emulated_setup.h"

namespace zq {
namespace {

// "2", "0.5", "1.25": seconds as milliseconds, at most three decimals.
bool ParseSeconds(const std::string& text, uint64_t& ms) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  std::string part = dot == std::string::npos ? "" : text.substr(dot + 1);
  uint32_t seconds = 0;
  uint32_t fraction = 0;
  if (!ParseNumber(whole, 10, 0, 86400, seconds)) return false;
  if (dot != std::string::npos) {
    if (part.empty() || part.size() > 3) return false;
    part.append(3 - part.size(), '0');
    if (!ParseNumber(part, 10, 0, 999, fraction)) return false;
  }
  ms = uint64_t{seconds} * 1000 + fraction;
  return true;
}

}  // namespace

bool ParsePlugSchedule(const std::string& text, uint32_t bridges, std::vector<PlugChange>& changes,
                       std::string& problem) {
  std::vector<PlugChange> parsed;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string entry = text.substr(start, comma - start);
    start = comma + 1;
    const size_t at = entry.find('@');
    PlugChange change;
    std::string bridge = entry.substr(0, at);
    if (!bridge.empty() && bridge.back() == '-') {
      change.plugged = false;
      bridge.pop_back();
    }
    if (at == std::string::npos || !ParseNumber(bridge, 10, 1, bridges, change.bridge) ||
        !ParseSeconds(entry.substr(at + 1), change.ms)) {
      problem = "--emulate-plug: '" + entry + "' is not K@SECONDS or K-@SECONDS (K from 1 to " +
                std::to_string(bridges) + ")";
      return false;
    }
    parsed.push_back(change);
  }
  std::stable_sort(parsed.begin(), parsed.end(),
                   [](const PlugChange& a, const PlugChange& b) { return a.ms < b.ms; });
  std::vector<bool> in(bridges + 1, false);
  for (const PlugChange& change : parsed) {
    if (in[change.bridge] == change.plugged) {
      problem = "--emulate-plug: bridge " + std::to_string(change.bridge) + " is " +
                (change.plugged ? "plugged in" : "pulled out") + " at " +
                std::to_string(change.ms) + " ms while it is " +
                (change.plugged ? "plugged in" : "out");
      return false;
    }
    in[change.bridge] = change.plugged;
  }
  changes = std::move(parsed);
  return true;
}

PlugSchedule::PlugSchedule(std::vector<PlugChange> changes, std::function<uint64_t()> clock)
    : changes_(std::move(changes)), clock_(std::move(clock)) {
  if (clock_) return;
  const auto start = std::chrono::steady_clock::now();
  clock_ = [start] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
  };
}

bool PlugSchedule::Plugged(size_t index, uint32_t& plugs) const {
  const uint64_t now = Now();
  bool plugged = false;
  plugs = 0;
  for (const PlugChange& change : changes_) {
    if (change.ms > now) break;
    if (change.bridge != index + 1) continue;
    plugged = change.plugged;
    plugs += change.plugged ? 1 : 0;
  }
  return plugged;
}

std::optional<uint64_t> PlugSchedule::NextChangeAfter(uint64_t ms) const {
  for (const PlugChange& change : changes_) {
    if (change.ms > ms) return change.ms;
  }
  return std::nullopt;
}

uint32_t PlugSchedule::Bridges() const {
  uint32_t highest = 0;
  for (const PlugChange& change : changes_) highest = std::max(highest, change.bridge);
  return highest;
}

}  // namespace zq
