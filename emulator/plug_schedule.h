// Bridges plugged in and pulled out on a timetable, so that a station can be
// tested and shown without a kernel: "1@0.5,2@1,1-@3,1@4" plugs bridge 1 in
// at 0.5 s and bridge 2 at 1 s, pulls bridge 1 out at 3 s and plugs it in
// again at 4 s. Whether a bridge is plugged in is worked out from the clock
// when asked, so no thread drives it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zq {

struct PlugChange {
  uint32_t bridge = 0;  // from 1
  uint64_t ms = 0;      // since the schedule began
  bool plugged = true;  // false: pulled out
};

// "K@T" plugs bridge K (1 to `bridges`) in at T seconds (at most three
// decimals), "K-@T" pulls it out; entries separated by commas. Each bridge
// alternates, starting plugged in. False with the reason; `changes` then
// untouched. The changes come out in the order of their times.
bool ParsePlugSchedule(const std::string& text, uint32_t bridges, std::vector<PlugChange>& changes,
                       std::string& problem);

class PlugSchedule {
 public:
  // `clock`: milliseconds since the schedule began; by default the steady
  // clock from now.
  explicit PlugSchedule(std::vector<PlugChange> changes, std::function<uint64_t()> clock = {});

  uint64_t Now() const { return clock_(); }
  // Whether bridge `index` (from 0) is plugged in now; `plugs`: how many
  // times it was plugged in so far, which tells one plug from the next.
  bool Plugged(size_t index, uint32_t& plugs) const;
  // When the first change after `ms` comes; none once the last has come.
  std::optional<uint64_t> NextChangeAfter(uint64_t ms) const;
  // The highest bridge the schedule names.
  uint32_t Bridges() const;

 private:
  std::vector<PlugChange> changes_;
  std::function<uint64_t()> clock_;
};

}  // namespace zq
