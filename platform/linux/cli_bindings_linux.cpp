// The command line's view of a Linux system: bridges found through sysfs and
// reached through the SCSI generic driver, no ASPI layer, POSIX files.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "app/path_name.h"
#include "cli/host_bindings.h"
#include "emulator/emulated_setup.h"
#include "platform/linux/mount_check.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/usb_storage_scan.h"
#include "platform/posix/posix_files.h"

namespace zq::cli {
namespace {

// Stands in for the layer that is not there; start-up never binds it,
// because loading the library fails first.
class AbsentAspiLayer final : public AspiLayer {
 public:
  uint32_t GetASPI32SupportInfo() override { return 0; }  // status 0: no layer
  uint32_t SendASPI32Command(SrbExecScsiCmd*) override { return 0; }
  AspiEvent MakeEvent() override { return nullptr; }
  void ResetEvent(AspiEvent) override {}
  bool WaitForEvent(AspiEvent, uint32_t) override { return false; }
  void CloseEvent(AspiEvent) override {}
  void Sleep(uint32_t) override {}
};

class LinuxPlatform final : public Platform {
 public:
  PlatformFamily Family() override { return PlatformFamily::Nt; }
  bool LoadAspiLibrary() override { return false; }  // there is none here
  bool BindAspiEntryPoint(const char*) override { return false; }
  void FreeAspiLibrary() override {}
  AspiLayer& Aspi() override { return absent_; }
  PassThroughPort& PassThrough() override { return port_; }

  SgPassThroughPort port_;

 private:
  AbsentAspiLayer absent_;
};

std::string ProblemLine(const OpenProblem& problem) {
  switch (problem.kind) {
    case OpenFailure::PermissionDenied:
      return problem.node + ": permission denied: run as root, or install the udev rule " +
             UDEV_RULE_PATH + " and plug the bridge in again";
    case OpenFailure::InUse:
      return problem.node + ": in use by another program";
    case OpenFailure::Gone:
      return problem.node + ": gone (unplugged?)";
    case OpenFailure::NotABridge:
      return problem.node + ": not a bridge";
    case OpenFailure::Other:
      break;
  }
  return problem.node + ": " +
         (problem.systemText.empty() ? "cannot be opened" : problem.systemText);
}

class LinuxStorage final : public SystemStorage {
 public:
  Platform& Ports() override { return platform_; }

  DeviceDetails Describe(const std::string& device) override {
    DeviceDetails details;
    bool listed = false;
    for (const ScsiGenericNode& node : ScanScsiGeneric(SYSFS_ROOT, listed)) {
      if (node.node != device) continue;
      details.usbPort = node.usbPort;
      details.serial = node.serial;
      if (!node.blockName.empty()) details.blockNode = "/dev/" + node.blockName;
    }
    return details;
  }

  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string& problem) override {
    bool listed = false;
    const DeviceSelection selection = SelectDevice(ScanScsiGeneric(SYSFS_ROOT, listed), wanted);
    switch (selection.match) {
      case DeviceMatch::Bridge:
      case DeviceMatch::Several:
        for (const ScsiGenericNode& node : selection.nodes) devices.push_back(node.node);
        return true;
      case DeviceMatch::NotABridge:
        problem = "not a ZQ5210 bridge";
        return false;
      case DeviceMatch::NoSuchDevice:
        break;
    }
    problem = listed ? "no such device" : "no such device (the SCSI generic driver is not loaded)";
    return false;
  }

  std::vector<std::string> OpenProblems() override {
    std::vector<std::string> lines;
    bool listed = false;
    ScanScsiGeneric(SYSFS_ROOT, listed);
    if (!listed) {
      lines.push_back(std::string(SYSFS_ROOT) +
                      "/class/scsi_generic cannot be read: load the SCSI generic driver "
                      "(modprobe sg)");
    }
    for (const OpenProblem& problem : platform_.port_.OpenProblems()) {
      lines.push_back(ProblemLine(problem));
    }
    return lines;
  }

  bool MountPoints(const std::string& device, std::vector<std::string>& points,
                   std::string& problem) override {
    bool listed = false;
    for (const ScsiGenericNode& node : ScanScsiGeneric(SYSFS_ROOT, listed)) {
      if (node.node != device) continue;
      std::string table;
      if (!ReadMountInfo(MOUNT_INFO_PATH, table)) {
        problem = std::string("cannot read the mount table ") + MOUNT_INFO_PATH;
        return false;
      }
      points = MountPointsOn(table, node.blockDevices);
      return true;
    }
    problem = "no longer listed in sysfs";
    return false;
  }

 private:
  LinuxPlatform platform_;
};

void OnStop(int) {
  switch (NoteStopRequest()) {
    case StopTiming::Waits: {
      static const char NOTE[] =
          "\nzq5210: stopping now would leave the bridge without firmware; "
          "it stops once the write is done\n";
      const ssize_t ignored = write(STDERR_FILENO, NOTE, sizeof NOTE - 1);
      (void)ignored;
      return;
    }
    case StopTiming::WaitsAgain:
      return;
    case StopTiming::AtOnce:
      break;
  }
  RemovePendingTemporaries();
  static const char NOTE[] = "\nzq5210: stopped\n";
  const ssize_t ignored = write(STDERR_FILENO, NOTE, sizeof NOTE - 1);
  (void)ignored;
  _exit(EXIT_STOPPED);
}

class LinuxFlashFile final : public FlashFile {
 public:
  explicit LinuxFlashFile(int fd) : fd_(fd) {}
  ~LinuxFlashFile() override {
    fsync(fd_);
    close(fd_);  // and with it the lock
  }
  LinuxFlashFile(const LinuxFlashFile&) = delete;
  LinuxFlashFile& operator=(const LinuxFlashFile&) = delete;

  bool Store(uint32_t offset, const uint8_t* bytes, uint32_t length) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = pwrite(fd_, bytes + done, length - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<uint32_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<PosixFilePort>();
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool WouldReplace(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  if (stat(path.c_str(), &info) != 0) return true;  // a dangling link
  return !S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode);
}

void RunTogether(const std::vector<std::function<void()>>& jobs) {
  std::vector<std::thread> threads;
  for (const auto& job : jobs) threads.emplace_back(job);
  for (std::thread& thread : threads) thread.join();
}

bool IsStandardOutput(const std::string& path) {
  struct stat named;
  struct stat out;
  return path == "-" || (stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                         named.st_dev == out.st_dev && named.st_ino == out.st_ino);
}

bool DeviceAccessWasDenied() {
  // the reasons of each node are told instead, with the udev rule to install
  return false;
}

bool IsPathLeadByte(uint8_t byte) {
  // UTF-8: no byte of a multibyte character is ASCII
  return NoLeadBytes(byte);
}

std::unique_ptr<SystemStorage> MakeSystemStorage() {
  return std::make_unique<LinuxStorage>();
}

void InstallStopHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
}

std::unique_ptr<FlashFile> OpenFlashFile(const std::string& path, FilePort& files,
                                         std::array<uint8_t, EMULATED_FLASH_SIZE>& flash,
                                         FlashFileState& state, std::string& problem) {
  state = FlashFileState::Unusable;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) {
    // a new flash comes erased; made whole before anyone can open it
    if (!CreateErasedFlashFile(files, path)) {
      problem = files.LastFailure();
      return nullptr;
    }
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }
  if (fd < 0) {
    problem = "'" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != EMULATED_FLASH_SIZE) {
    close(fd);
    problem = "'" + path + "': not a flash file of 65536 bytes";
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
      state = FlashFileState::InUse;
      problem = "'" + path + "': the emulated bridge is in use by another run";
    } else {
      problem = "'" + path + "': " + std::strerror(error);
    }
    return nullptr;
  }
  size_t done = 0;
  while (done < flash.size()) {
    const ssize_t n = pread(fd, flash.data() + done, flash.size() - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      problem = "'" + path + "': cannot be read";
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  state = FlashFileState::Open;
  return std::make_unique<LinuxFlashFile>(fd);
}

}  // namespace zq::cli
