#include "platform/posix/standard_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zq {
namespace {

bool IsNull(int fd) {
  struct stat info;
  struct stat null;
  return fstat(fd, &info) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(info.st_mode) &&
         info.st_rdev == null.st_rdev;
}

// What a child started with some of 0, 1 and 2 closed finds once it has
// called ReopenClosedStandardStreams: a bit set for each fault.
int RunWithClosed(const std::vector<int>& closed) {
  const pid_t child = fork();
  if (child == 0) {
    // the descriptors left open hold a pipe, which must stay untouched
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) _exit(64);
    for (int fd = 0; fd <= 2; ++fd) dup2(pipeEnds[1], fd);
    close(pipeEnds[1]);  // the reading end stays open, so writes do not raise SIGPIPE
    for (int fd : closed) close(fd);
    int faults = ReopenClosedStandardStreams() ? 0 : 1;
    for (int fd = 0; fd <= 2; ++fd) {
      const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
      struct stat info;
      if (fstat(fd, &info) != 0) {
        faults |= 2;  // still closed
      } else if (wasClosed != IsNull(fd) || (!wasClosed && !S_ISFIFO(info.st_mode))) {
        faults |= 4;  // the wrong file behind it
      }
    }
    // the next file opened gets a descriptor of its own
    const int next = open("/dev/zero", O_RDONLY);
    if (next <= 2) faults |= 8;
    // and text written to standard output goes nowhere harmful
    if (write(1, "x", 1) != 1) faults |= 16;
    _exit(faults);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 128;
  return WEXITSTATUS(status);
}

TEST(StandardStreams, ClosedOnesAreReopenedOnDevNullAndOthersLeftAlone) {
  const std::vector<std::vector<int>> rows = {{}, {0}, {1}, {2}, {1, 2}, {0, 2}, {0, 1, 2}};
  for (const std::vector<int>& closed : rows) {
    std::string name;
    for (int fd : closed) name += std::to_string(fd) + " ";
    SCOPED_TRACE("closed: " + name);
    EXPECT_EQ(RunWithClosed(closed), 0);
  }
}

}  // namespace
}  // namespace zq
