#include "transport/bridge_identity.h"

#include <algorithm>

#include "protocol/usb_ids.h"

namespace zq {
namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const BridgeCandidate& candidate, std::string_view a, std::string_view b) {
  return candidate.caseless ? SameText(a, b) : a == b;
}

bool SameUsbDevice(const BridgeCandidate& a, const BridgeCandidate& b) {
  return !a.usbDevice.empty() && SameText(a.usbDevice, b.usbDevice);
}

// Which of two units of one bridge speaks for it first: the disk, then the
// lower unit, then the one listed first (`a` when it comes first).
bool SpeaksBefore(const BridgeCandidate& a, const BridgeCandidate& b, bool aListedFirst) {
  if (a.cls != b.cls) return a.cls == InterfaceClass::Disk;
  if (a.unitKnown != b.unitKnown) return a.unitKnown;
  if (a.unitKnown && a.unit != b.unit) return a.unit < b.unit;
  return aListedFirst;
}

bool Names(const BridgeCandidate& candidate, const std::string& wanted, const std::string& key) {
  if (SameName(candidate, candidate.path, wanted)) return true;
  if (!candidate.usbPort.empty() && candidate.usbPort == wanted) return true;
  for (const std::string& name : candidate.names) {
    if (!name.empty() && SameName(candidate, name, wanted)) return true;
  }
  return !key.empty() &&
         std::find(candidate.keys.begin(), candidate.keys.end(), key) != candidate.keys.end();
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool ParseUsbId(std::string_view text, uint16_t& id) {
  if (text.size() != 4) return false;
  uint16_t value = 0;
  for (char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = static_cast<uint16_t>(value * 16 + digit);
  }
  id = value;
  return true;
}

bool IsBridge(const BridgeCandidate& candidate) {
  return candidate.onUsb && candidate.storage && candidate.usbVendorId == BRIDGE_VENDOR_ID &&
         candidate.usbProductId == BRIDGE_PRODUCT_ID && !candidate.usbDevice.empty();
}

bool IsFirstUnit(const std::vector<BridgeCandidate>& candidates, size_t index) {
  if (index >= candidates.size() || !IsBridge(candidates[index])) return false;
  const BridgeCandidate& self = candidates[index];
  for (size_t i = 0; i < candidates.size(); ++i) {
    const BridgeCandidate& other = candidates[i];
    if (i == index || !IsBridge(other) || !SameUsbDevice(other, self)) continue;
    // the same device listed twice speaks once, by its first listing
    if (SameText(other.path, self.path) ? i < index : SpeaksBefore(other, self, i < index)) {
      return false;
    }
  }
  return true;
}

std::vector<size_t> UnitsOf(const std::vector<BridgeCandidate>& candidates, size_t index) {
  if (index >= candidates.size()) return {};
  std::vector<size_t> units{index};
  const BridgeCandidate& self = candidates[index];
  for (size_t i = 0; i < candidates.size(); ++i) {
    const BridgeCandidate& other = candidates[i];
    if (i != index && IsBridge(other) && !SameText(other.path, self.path) &&
        SameUsbDevice(other, self)) {
      units.push_back(i);
    }
  }
  return units;
}

NameSelection SelectByName(const std::vector<BridgeCandidate>& candidates,
                           const std::string& wanted, const std::string& key) {
  NameSelection bridges{NameMatch::Bridge, {}};
  NameSelection strangers{NameMatch::NotABridge, {}};
  if (wanted.empty()) return {};
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!Names(candidates[i], wanted, key)) continue;
    if (!IsBridge(candidates[i])) {
      strangers.indices.push_back(i);
      continue;
    }
    // whichever unit was named, the bridge is its first unit, given once
    for (size_t unit : UnitsOf(candidates, i)) {
      const bool taken =
          std::find(bridges.indices.begin(), bridges.indices.end(), unit) != bridges.indices.end();
      if (!taken && IsFirstUnit(candidates, unit)) bridges.indices.push_back(unit);
    }
  }
  if (!bridges.indices.empty()) return bridges;
  if (!strangers.indices.empty()) return strangers;
  return {};
}

std::string NotABridgeText(const BridgeCandidate& candidate) {
  std::string text = "not a ZQ5210 bridge";
  if (!candidate.ownerInProblems) {
    return candidate.label.empty() ? text : text + " (" + candidate.label + ")";
  }
  text += " (" + (candidate.label.empty() ? "" : candidate.label + ", ");
  if (candidate.usbDevice.empty()) return text + "not on USB)";
  return text + "USB device " + candidate.usbDevice + ")";
}

bool ResolveName(const std::vector<BridgeCandidate>& candidates, const std::string& wanted,
                 const std::string& key, std::vector<std::string>& paths, std::string& problem,
                 const std::string& nothingListed) {
  const NameSelection selection = SelectByName(candidates, wanted, key);
  switch (selection.match) {
    case NameMatch::Bridge:
      for (size_t index : selection.indices) paths.push_back(candidates[index].path);
      return true;
    case NameMatch::NotABridge:
      problem = NotABridgeText(candidates[selection.indices.front()]);
      return false;
    case NameMatch::NoSuchDevice:
      break;
  }
  problem = nothingListed;
  return false;
}

std::vector<std::string> BridgePaths(const std::vector<BridgeCandidate>& candidates,
                                     InterfaceClass cls) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].cls == cls && IsFirstUnit(candidates, i)) paths.push_back(candidates[i].path);
  }
  return paths;
}

std::unique_ptr<InterfaceList> BridgeOnlyPort::ListInterfaces(InterfaceClass cls) {
  std::vector<BridgeCandidate> candidates;
  if (!source_.Candidates(cls, candidates)) return nullptr;
  // the other class too, for the units a bridge shows there
  const InterfaceClass other =
      cls == InterfaceClass::Disk ? InterfaceClass::CdRom : InterfaceClass::Disk;
  source_.Candidates(other, candidates);
  return std::make_unique<FixedInterfaceList>(BridgePaths(candidates, cls));
}

DeviceHandle BridgeOnlyPort::Open(const std::string& path) {
  // asked afresh: the path may have been listed before another device took it
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::CdRom}) {
    std::vector<BridgeCandidate> candidates;
    if (!source_.Candidates(cls, candidates)) continue;
    for (const BridgeCandidate& candidate : candidates) {
      if (SameText(candidate.path, path) && IsBridge(candidate)) return system_.Open(path);
    }
  }
  return INVALID_DEVICE_HANDLE;
}

}  // namespace zq
