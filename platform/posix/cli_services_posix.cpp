// The command line's POSIX services: stop signals taken on a thread of their
// own, the terminal, standard streams, threads and files.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "app/path_name.h"
#include "cli/exit_status.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/stop_requests.h"
#include "cli/terminal.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/standard_streams.h"

namespace zq::cli {
namespace {

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
      if (WakeStation()) return;  // it ends itself, with this status
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
      if (WakeStation()) return;  // it ends itself, with its summary
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
