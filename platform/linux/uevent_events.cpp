#include "platform/linux/uevent_events.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/linux/uevents.h"
#include "platform/linux/usb_storage_scan.h"

namespace zq::cli {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr uint32_t KERNEL_UEVENT_GROUP = 1;  // udev's rebroadcast is group 2
// room for a burst of a hub full of devices while the station is busy
constexpr int RECEIVE_BUFFER_BYTES = 1 << 20;

std::string SystemWords(int error) {
  return std::strerror(error);
}

class UeventEvents final : public DeviceEvents {
 public:
  UeventEvents(int socket, int wake, bool kernelOnly, UeventSettings settings)
      : socket_(socket), wake_(wake), kernelOnly_(kernelOnly), settings_(std::move(settings)) {
    known_ = CurrentBridges();
  }
  ~UeventEvents() override {
    close(socket_);
    close(wake_);
  }
  UeventEvents(const UeventEvents&) = delete;
  UeventEvents& operator=(const UeventEvents&) = delete;

  bool Wait(uint32_t timeoutMs) override {
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    while (true) {
      const Clock::time_point now = Clock::now();
      Clock::time_point until = deadline;
      if (removed_ && !added_) until = now;
      if (added_) {
        // unsettled nodes are looked at again now and then, never in a busy loop
        until = std::min({deadline, now + Milliseconds(settings_.settleRetryMs), settleEnd_});
      }
      const auto left = std::chrono::ceil<Milliseconds>(std::max(until - now, Clock::duration(0)));
      pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
      // poll takes an int: a wait of more than 24 days is cut there and goes on
      const int ready = poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
      if (ready < 0 && errno != EINTR) {
        // the socket failed for good: wait out the time and let the station look itself
        const auto rest = std::chrono::ceil<Milliseconds>(deadline - Clock::now());
        if (rest.count() > 0)
          poll(nullptr, 0, static_cast<int>(std::min<int64_t>(rest.count(), 1000)));
        return true;
      }
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        uint64_t count = 0;
        const ssize_t got = read(wake_, &count, sizeof count);
        static_cast<void>(got);
        return false;
      }
      if (ready > 0 && fds[0].revents != 0) Drain();
      if ((added_ || removed_) && (!added_ || Clock::now() >= settleEnd_ || Settled())) {
        Told();
        return true;
      }
      if (Clock::now() >= deadline) return false;
    }
  }

  void Wake() override {
    // eventfd: one write, no lock, no allocation, safe in a signal handler
    const uint64_t one = 1;
    const ssize_t written = write(wake_, &one, sizeof one);
    static_cast<void>(written);
  }

 private:
  void Drain() {
    while (true) {
      sockaddr_nl sender{};
      iovec part{buffer_, sizeof buffer_};
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      const ssize_t got = recvmsg(socket_, &message, MSG_DONTWAIT);
      if (got < 0) {
        if (errno == EINTR) continue;
        // messages were dropped for want of room: anything may have changed
        if (errno == ENOBUFS) Changed(true, true);
        return;
      }
      if (got == 0 || (message.msg_flags & MSG_TRUNC) != 0) continue;
      // only the kernel speaks on its group; anyone else is no witness
      if (kernelOnly_ && (message.msg_namelen < sizeof sender || sender.nl_family != AF_NETLINK ||
                          sender.nl_pid != 0)) {
        continue;
      }
      Uevent event;
      if (!ParseUevent(buffer_, static_cast<size_t>(got), event)) continue;
      const UeventMeaning meaning = MeaningOf(event);
      // a generic node's name comes back for the next device: that one is new
      if (meaning == UeventMeaning::Added && event.subsystem == "scsi_generic" &&
          !event.devname.empty()) {
        known_.erase("/dev/" + event.devname);
      }
      Changed(meaning == UeventMeaning::Added, meaning == UeventMeaning::Removed);
    }
  }

  void Changed(bool added, bool removed) {
    if (added && !added_) settleEnd_ = Clock::now() + Milliseconds(settings_.settleLimitMs);
    added_ = added_ || added;
    removed_ = removed_ || removed;
  }

  std::set<std::string> CurrentBridges() const {
    bool listed = false;
    std::set<std::string> bridges;
    for (const ScsiGenericNode& node : ScanScsiGeneric(settings_.sysRoot, listed)) {
      if (IsBridge(node)) bridges.insert(node.node);
    }
    return bridges;
  }

  bool Settled() const {
    bool listed = false;
    return UnsettledBridges(ScanScsiGeneric(settings_.sysRoot, listed), settings_.devRoot, known_)
        .empty();
  }

  // what was told is known: its nodes are not waited for again
  void Told() {
    added_ = false;
    removed_ = false;
    known_ = CurrentBridges();
  }

  int socket_;
  int wake_;
  bool kernelOnly_;
  UeventSettings settings_;
  bool added_ = false;    // a device came: told once its nodes settled
  bool removed_ = false;  // a device went: told at once
  Clock::time_point settleEnd_;
  std::set<std::string> known_;  // bridges told of, by generic node
  char buffer_[UEVENT_MESSAGE_MAX];
};

bool SameNamespace(int fd, const char* path) {
  struct stat a;
  struct stat b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The first user namespace maps every id onto itself, in one line.
bool InFirstUserNamespace() {
  std::string map;
  if (!ReadBoundedFile("/proc/self/uid_map", 4096, map)) return false;
  unsigned long inside = 1;
  unsigned long outside = 1;
  unsigned long count = 0;
  int used = 0;
  return std::sscanf(map.c_str(), "%lu %lu %lu %n", &inside, &outside, &count, &used) == 3 &&
         inside == 0 && outside == 0 && count == 4294967295UL &&
         static_cast<size_t>(used) == map.size();
}

}  // namespace

bool NetworkNamespaceIsDeaf() {
  const int net = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (net < 0) return false;  // no namespaces to tell apart
  const int owner = ioctl(net, NS_GET_USERNS);
  close(net);
  if (owner < 0) return false;  // before Linux 4.9 this cannot be told: the socket is believed
  bool deaf = false;
  if (SameNamespace(owner, "/proc/self/ns/user")) {
    // a rootless container's own network: deaf unless this is the first namespace
    deaf = !InFirstUserNamespace();
  } else {
    // one below this process's user namespace has a parent in view; the first never has
    const int parent = ioctl(owner, NS_GET_PARENT);
    deaf = parent >= 0;
    if (parent >= 0) close(parent);
  }
  close(owner);
  return deaf;
}

int OpenUeventSocket(std::string& problem) {
  const int fd =
      socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) {
    problem = "cannot open the kernel's device event socket: " + SystemWords(errno);
    return -1;
  }
  // best effort: a smaller buffer only means a burst is told as "anything changed"
  const int size = RECEIVE_BUFFER_BYTES;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = KERNEL_UEVENT_GROUP;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    problem = "cannot listen to the kernel's device events: " + SystemWords(errno);
    close(fd);
    return -1;
  }
  return fd;
}

std::unique_ptr<DeviceEvents> MakeUeventEvents(int socket, bool kernelOnly,
                                               const UeventSettings& settings,
                                               std::string& problem) {
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    problem = "cannot make an event for waking the wait: " + SystemWords(errno);
    close(socket);
    return nullptr;
  }
  return std::make_unique<UeventEvents>(socket, wake, kernelOnly, settings);
}

std::unique_ptr<DeviceEvents> MakeKernelDeviceEvents(std::string& problem) {
  if (NetworkNamespaceIsDeaf()) {
    problem = "the kernel's device events do not reach this network namespace (a container's own)";
    return nullptr;
  }
  const int socket = OpenUeventSocket(problem);
  if (socket < 0) return nullptr;
  return MakeUeventEvents(socket, true, UeventSettings{SYSFS_ROOT, "/dev"}, problem);
}

}  // namespace zq::cli
