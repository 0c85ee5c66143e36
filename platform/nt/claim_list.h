// The claims a process holds on bridges, one for each device it opened:
// bridges updated together open and close from threads of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transport/pass_through.h"
#include "transport/spin_lock.h"

namespace zq::nt {

class ClaimList {
 public:
  using Claim = uintptr_t;  // the system's handle on the claim

  // Remembers the claim `name` taken for `device`.
  void Add(DeviceHandle device, const std::string& name, Claim claim);
  // Forgets the claim taken for `device` and hands it back for release;
  // false when the device holds none.
  bool Take(DeviceHandle device, Claim& claim);
  // Forgets every claim and hands them back for release.
  std::vector<Claim> TakeAll();
  // Whether a device of this process already holds the claim `name`.
  bool Holds(const std::string& name) const;

 private:
  struct Entry {
    DeviceHandle device;
    std::string name;
    Claim claim;
  };
  // held for moments (SpinLock: no mutex on Windows)

  mutable std::atomic_flag busy_;  // clear until held
  std::vector<Entry> entries_;
};

}  // namespace zq::nt
