#include "platform/nt/claim_list.h"

#include <algorithm>

namespace zq::nt {

void ClaimList::Add(DeviceHandle device, const std::string& name, Claim claim) {
  const SpinLock lock(busy_);
  entries_.push_back({device, name, claim});
}

bool ClaimList::Take(DeviceHandle device, Claim& claim) {
  const SpinLock lock(busy_);
  const auto entry = std::find_if(entries_.begin(), entries_.end(),
                                  [device](const Entry& e) { return e.device == device; });
  if (entry == entries_.end()) return false;
  claim = entry->claim;
  entries_.erase(entry);
  return true;
}

std::vector<ClaimList::Claim> ClaimList::TakeAll() {
  const SpinLock lock(busy_);
  std::vector<Claim> claims;
  for (const Entry& entry : entries_) claims.push_back(entry.claim);
  entries_.clear();
  return claims;
}

bool ClaimList::Holds(const std::string& name) const {
  const SpinLock lock(busy_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&name](const Entry& e) { return e.name == name; });
}

}  // namespace zq::nt
