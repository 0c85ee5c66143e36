#include "platform/win32/claiming_port_win32.h"

#include "platform/win32/win32_headers.h"

#include <utility>

#include "platform/win32/platform_win32.h"
#include "platform/win32/system_text_win32.h"

namespace zq {
namespace {

// Names in the namespace all sessions share came with Terminal Services
// (NT 5.0); the consumer family and NT 4 know only their own.
bool GlobalNamesExist() {
  return QueryPlatformFamily() == PlatformFamily::Nt && QueryMajorVersion() >= 5;
}

}  // namespace

ClaimingPort::~ClaimingPort() {
  for (const nt::ClaimList::Claim claim : claims_.TakeAll()) {
    CloseHandle(reinterpret_cast<HANDLE>(claim));
  }
}

DeviceHandle ClaimingPort::Open(const std::string& path) {
  using Kind = OpenRefusal::Kind;
  const std::string name = nt::ClaimName(tree_, path, GlobalNamesExist());
  if (claims_.Holds(name)) {
    Refuse({path, Kind::InUse, path + ": in use: this run has the bridge open"});
    return INVALID_DEVICE_HANDLE;
  }
  SetLastError(ERROR_SUCCESS);
  const HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
  const DWORD claimError = GetLastError();
  if (claim == nullptr) {
    // a mutex another run made with other rights (elevated, another user)
    // cannot be opened: that run holds the bridge
    if (claimError == ERROR_ACCESS_DENIED) {
      Refuse({path, Kind::InUse, path + ": in use by another zq5210 (run with other rights)"});
    } else {
      Refuse({path, Kind::Other,
              path + ": cannot be claimed against other runs (" + name + "): " +
                  SystemReason(claimError) + " (error " + std::to_string(claimError) + ")"});
    }
    return INVALID_DEVICE_HANDLE;
  }
  if (claimError == ERROR_ALREADY_EXISTS) {
    CloseHandle(claim);
    Refuse({path, Kind::InUse, path + ": in use by another zq5210"});
    return INVALID_DEVICE_HANDLE;
  }
  const DeviceHandle device = bridges_.Open(path);
  if (device == INVALID_DEVICE_HANDLE) {
    CloseHandle(claim);
    const uint32_t error = system_.LastOpenError();
    if (error == ERROR_ACCESS_DENIED) {
      Refuse({path, Kind::PermissionDenied,
              path + ": access denied: run zq5210 from an elevated prompt"});
    } else if (error == ERROR_SHARING_VIOLATION) {
      Refuse({path, Kind::InUse, path + ": in use by another program"});
    } else {
      Refuse(
          {path, Kind::Other, path + ": cannot be opened (error " + std::to_string(error) + ")"});
    }
    return device;
  }
  std::erase_if(refusals, [&](const OpenRefusal& r) { return r.path == path; });
  claims_.Add(device, name, reinterpret_cast<nt::ClaimList::Claim>(claim));
  return device;
}

void ClaimingPort::Refuse(OpenRefusal refusal) {
  // the latest reason for each device: a window asks again at every click
  std::erase_if(refusals, [&](const OpenRefusal& r) { return r.path == refusal.path; });
  refusals.push_back(std::move(refusal));
}

void ClaimingPort::Close(DeviceHandle device) {
  bridges_.Close(device);
  nt::ClaimList::Claim claim = 0;
  if (claims_.Take(device, claim)) CloseHandle(reinterpret_cast<HANDLE>(claim));
}

}  // namespace zq
