#include "platform/posix/standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace zq {

bool ReopenClosedStandardStreams() {
  bool allOpen = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one unless a
    // lower one is closed too, and those were reopened already
    const int null = open("/dev/null", O_RDWR | O_NOCTTY);
    if (null < 0) {
      allOpen = false;
      continue;
    }
    if (null != fd) {
      if (dup2(null, fd) != fd) allOpen = false;
      close(null);
    }
  }
  return allOpen;
}

}  // namespace zq
