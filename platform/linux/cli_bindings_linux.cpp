// The command line's view of a Linux system: bridges found through sysfs and
// reached through the SCSI generic driver, no ASPI layer, POSIX files.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "app/path_name.h"
#include "cli/exit_status.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/stop_requests.h"
#include "cli/system_storage.h"
#include "cli/terminal.h"
#include "platform/linux/disk_claim.h"
#include "platform/linux/mount_check.h"
#include "platform/linux/node_problems.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/usb_storage_scan.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/standard_streams.h"

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
  // no Windows family: the command line picks its transport itself
  PlatformFamily Family() override { return PlatformFamily::Other; }
  bool LoadAspiLibrary() override { return false; }  // there is none here
  bool BindAspiEntryPoint(const char*) override { return false; }
  void FreeAspiLibrary() override {}
  AspiLayer& Aspi() override { return absent_; }
  PassThroughPort& PassThrough() override { return port_; }

  SgPassThroughPort port_;

 private:
  AbsentAspiLayer absent_;
};

}  // namespace

namespace {

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
    // a symlink (/dev/disk/by-id/...) is told by the device number it leads to
    const DeviceSelection selection =
        SelectDevice(ScanScsiGeneric(SYSFS_ROOT, listed), wanted, IdentifyDevicePath(wanted));
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

  std::vector<DeviceProblem> OpenProblems(const std::vector<UnusedDevice>& unused) override {
    std::vector<DeviceProblem> lines;
    bool listed = false;
    ScanScsiGeneric(SYSFS_ROOT, listed);
    if (!listed) {
      const std::string folder = std::string(SYSFS_ROOT) + "/class/scsi_generic";
      lines.push_back({folder, ProblemKind::NoDriver,
                       folder + " cannot be read: load the SCSI generic driver (modprobe sg)"});
    }
    for (const UnusedDevice& device : unused) {
      lines.push_back(ProblemOf(UnusedNodeProblem(platform_.port_, device)));
    }
    return lines;
  }

  CommandTimeouts PassThroughTimeouts() const override { return SG_COMMAND_TIMEOUTS; }

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

  bool ClaimDisk(const std::string& device, std::string& problem) override {
    return claims_.Claim(device, problem);
  }

  std::string ControlFailure(DeviceHandle device) override {
    return CommandFailureWords(platform_.port_.LastFailure(device));
  }

 private:
  LinuxPlatform platform_;
  DiskClaims claims_{HostSgSystem(), ClaimPaths{}};
};

// A stop request, from a handler or from the stop thread: only calls that
// are safe in a signal handler.
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
    case StopTiming::AfterDamage: {
      RemovePendingTemporaries();
      static const char NOTE[] = "\nzq5210: ";
      ssize_t ignored = write(STDERR_FILENO, NOTE, sizeof NOTE - 1);
      ignored =
          write(STDERR_FILENO, TEXT_STOPPED_AFTER_DAMAGE, std::strlen(TEXT_STOPPED_AFTER_DAMAGE));
      ignored = write(STDERR_FILENO, "\n", 1);
      const char* report = StoppedAfterDamageReport();
      ignored = write(STDOUT_FILENO, report, std::strlen(report));
      (void)ignored;
      _exit(EXIT_AFTER_ERASE);
    }
    case StopTiming::AtOnce:
      break;
  }
  RemovePendingTemporaries();
  static const char NOTE[] = "\nzq5210: stopped\n";
  ssize_t ignored = write(STDERR_FILENO, NOTE, sizeof NOTE - 1);
  const char* report = StoppedReport();
  ignored = write(STDOUT_FILENO, report, std::strlen(report));
  (void)ignored;
  _exit(EXIT_STOPPED);
}

// The stop signals sent to the process are taken on a thread of their own,
// never on a thread that waits for a device.
void TakeStops(sigset_t stops) {
  for (;;) {
    int signal = 0;
    if (sigwait(&stops, &signal) == 0) OnStop(signal);
  }
}

}  // namespace

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<PosixFilePort>();
}

bool StderrTakesProgressBar() {
  return isatty(STDERR_FILENO) == 1;
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

void KeepStandardStreamsOpen() {
  ReopenClosedStandardStreams();
}

bool AskOnTerminal(const std::string& question) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  std::string answer;
  if (write(tty, question.data(), question.size()) == static_cast<ssize_t>(question.size())) {
    char c = 0;
    while (answer.size() < 16) {
      const ssize_t n = read(tty, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') break;
      answer += c;
    }
  }
  close(tty);
  return answer == "y" || answer == "Y" || answer == "yes";
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

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsStandardOutput(const std::string& path) {
  struct stat named;
  struct stat out;
  return path == "-" || (stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                         named.st_dev == out.st_dev && named.st_ino == out.st_ino);
}

bool IsPathLeadByte(uint8_t byte) {
  // UTF-8: no byte of a multibyte character is ASCII
  return NoLeadBytes(byte);
}

std::unique_ptr<SystemStorage> MakeSystemStorage() {
  return std::make_unique<LinuxStorage>();
}

void InstallStopHandlers() {
  // blocked here, before any other thread starts, so every thread inherits it
  sigset_t stops;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread(TakeStops, stops).detach();
  // a reader gone (a closed pipe, a dropped session) is one more stop: while
  // the flash is rewritten it waits like the others. The kernel sends it to
  // the thread that wrote, so it keeps a handler; a device wait it interrupts
  // is waited again, never sent again.
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace zq::cli
