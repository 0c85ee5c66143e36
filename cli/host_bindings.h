// What the command line needs of the system it runs on; each platform's
// binding folder defines these.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/platform.h"
#include "cli/stop_requests.h"
#include "emulator/bridge_device.h"
#include "image/file_port.h"

namespace zq::cli {

std::unique_ptr<FilePort> MakeFilePort();
bool StderrIsTerminal();
bool StdinIsTerminal();
// A file that saving would replace: anything under the name, a dangling
// symlink included, but not a device or FIFO, which are written as they are.
bool WouldReplace(const std::string& path);
// True for "-" and for any name of the file standard output goes to.
bool IsStandardOutput(const std::string& path);
// True once this system refused to open a device for lack of rights.
bool DeviceAccessWasDenied();
// Tells path separators apart from trail bytes of the system's code page.
bool IsPathLeadByte(uint8_t byte);
// True for "-" and for any name of the file standard output goes to.
bool IsStandardOutput(const std::string& path);
// True once this system refused to open a device for lack of rights.
bool DeviceAccessWasDenied();
// Tells path separators apart from trail bytes of the system's code page.
bool IsPathLeadByte(uint8_t byte);

// What the system tells about a bridge's node beyond its record.
struct DeviceDetails {
  std::string usbPort;  // "2-1.4"
  std::string serial;
  std::string blockNode;  // "/dev/sdb"
};

// The system's storage stack: its ports, and what it knows of the nodes.
class SystemStorage {
 public:
  virtual ~SystemStorage() = default;
  virtual Platform& Ports() = 0;
  virtual DeviceDetails Describe(const std::string& device) = 0;
  // The bridge nodes that `wanted` names: a node, a block node or a USB
  // port path; false with the reason when it names no bridge.
  virtual bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
                       std::string& problem) = 0;
  // Why bridge nodes could not be opened, a line each.
  virtual std::vector<std::string> OpenProblems() = 0;
  // Where file systems on the bridge's disk are mounted; false when that
  // cannot be told, which must be taken as a refusal.
  virtual bool MountPoints(const std::string& device, std::vector<std::string>& points,
                           std::string& problem) = 0;
};

// The real storage stack of this system. On a system without an ASPI layer
// loading it fails, as it would on a machine where it is missing.
std::unique_ptr<SystemStorage> MakeSystemStorage();

// Takes stop requests as cli/stop_requests.h says: at once (temporary files
// removed, exit 130) unless held, then remembered and announced once.
void InstallStopHandlers();

// Runs each job on a thread of its own and waits for all of them.
void RunTogether(const std::vector<std::function<void()>>& jobs);

// The emulated chip's flash kept in a file that is locked while in use and
// changed as each command runs, as a real chip's flash would be.
class FlashFile {
 public:
  virtual ~FlashFile() = default;
  virtual bool Store(uint32_t offset, const uint8_t* bytes, uint32_t length) = 0;
};
enum class FlashFileState { Open, InUse, Unusable };
// A missing file is created erased. `flash` receives what the file holds.
std::unique_ptr<FlashFile> OpenFlashFile(const std::string& path, FilePort& files,
                                         std::array<uint8_t, EMULATED_FLASH_SIZE>& flash,
                                         FlashFileState& state, std::string& problem);

}  // namespace zq::cli
