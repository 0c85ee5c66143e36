// The command line's view of a Linux system: SCSI generic devices for the
// pass-through path, no ASPI layer, POSIX files.
#include <sys/stat.h>
#include <unistd.h>

#include "app/path_name.h"
#include "cli/host_bindings.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/posix/posix_files.h"

namespace zq::cli {
namespace {

// Stands in for the layer that is not there; start-up never binds it,
// because loading the library fails first.
class AbsentAspiLayer final : public AspiLayer {
 public:
  uint32_t GetASPI32SupportInfo() override { return 0; }  // status 0: no layer
  uint32_t SendASPI32Command(SrbExecScsiCmd*) override { return 0; }
  AspiEvent CreateEvent() override { return nullptr; }
  void ResetEvent(AspiEvent) override {}
  bool WaitForEvent(AspiEvent, uint32_t) override { return false; }
  void CloseEvent(AspiEvent) override {}
  void Sleep(uint32_t) override {}
};

class LinuxPlatform final : public Platform {
 public:
  uint32_t GetPlatformId() override { return VER_PLATFORM_WIN32_NT; }
  bool LoadAspiLibrary() override { return false; }  // there is none here
  bool BindAspiEntryPoint(const char*) override { return false; }
  void FreeAspiLibrary() override {}
  AspiLayer& Aspi() override { return absent_; }
  PassThroughPort& PassThrough() override { return port_; }

 private:
  SgPassThroughPort port_;
  AbsentAspiLayer absent_;
};

}  // namespace

std::unique_ptr<Platform> MakeRealPlatform() {
  return std::make_unique<LinuxPlatform>();
}
std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<PosixFilePort>();
}
bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool DeviceAccessWasDenied() {
  // no elevated prompt to point to: the README names the rights /dev/sg* needs
  return false;
}

bool IsPathLeadByte(uint8_t byte) {
  // UTF-8: no byte of a multibyte character is ASCII
  return NoLeadBytes(byte);
}

}  // namespace zq::cli
