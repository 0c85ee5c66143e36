#include "platform/linux/uevent_events.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/linux/uevents.h"
#include "support/fake_sysfs.h"

namespace zq {
namespace {

using test::FakeSysfs;
namespace fs = std::filesystem;

std::string Message(std::initializer_list<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) text += field + '\0';
  return text;
}

const std::string SG_PATH =
    "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/scsi_generic/sg1";

TEST(Uevent, ParsesTheKernelsMessagesAndRefusesTheRest) {
  struct Row {
    const char* name;
    std::string message;
    bool parsed;
    UeventMeaning meaning = UeventMeaning::None;
    std::string devname = {};
  };
  const std::string header = "add@" + SG_PATH;
  const Row rows[] = {
      {"a generic node added",
       Message({header, "ACTION=add", "DEVPATH=" + SG_PATH, "SUBSYSTEM=scsi_generic", "DEVNAME=sg1",
                "MAJOR=21", "MINOR=1", "SEQNUM=2071"}),
       true, UeventMeaning::Added, "sg1"},
      {"the last field without its NUL",
       Message({header, "SUBSYSTEM=scsi_generic"}) + "DEVNAME=sg1", true, UeventMeaning::Added,
       "sg1"},
      {"a disk removed", Message({"remove@/devices/x/block/sdb", "SUBSYSTEM=block", "DEVNAME=sdb"}),
       true, UeventMeaning::Removed, "sdb"},
      {"a USB driver bound", Message({"bind@/devices/x/2-1", "SUBSYSTEM=usb"}), true,
       UeventMeaning::Added},
      {"a SCSI device unbound", Message({"unbind@/devices/x/1:0:0:0", "SUBSYSTEM=scsi"}), true,
       UeventMeaning::Removed},
      {"a disk's media changed: no plug",
       Message({"change@/devices/x/block/sr0", "SUBSYSTEM=block"}), true},
      {"a network card: not ours", Message({"add@/devices/virtual/net/tun0", "SUBSYSTEM=net"}),
       true},
      {"a USB port's power: not ours",
       Message({"add@/devices/x/usb2/2-0:1.0/usb2-port1", "SUBSYSTEM=usb_port"}), true},
      {"udev's own header", Message({"libudev", "SUBSYSTEM=block"}), false},
      {"no '@'", Message({"add/devices/x", "SUBSYSTEM=block"}), false},
      {"no action", Message({"@/devices/x", "SUBSYSTEM=block"}), false},
      {"a path that is no device path", Message({"add@devices/x", "SUBSYSTEM=block"}), false},
      {"an action too long", Message({std::string(40, 'a') + "@/devices/x", "SUBSYSTEM=block"}),
       false},
      {"ACTION disagrees with the header",
       Message({"add@/devices/x", "ACTION=remove", "SUBSYSTEM=block"}), false},
      {"DEVPATH disagrees with the header",
       Message({"add@/devices/x", "DEVPATH=/devices/y", "SUBSYSTEM=block"}), false},
      {"no SUBSYSTEM", Message({"add@/devices/x", "DEVNAME=sdb"}), false},
      {"an empty SUBSYSTEM", Message({"add@/devices/x", "SUBSYSTEM="}), false},
      {"a field without '='", Message({"add@/devices/x", "SUBSYSTEM=block", "DEVNAME"}), false},
      {"a field with no key", Message({"add@/devices/x", "SUBSYSTEM=block", "=sdb"}), false},
      {"an empty field between two",
       Message({"add@/devices/x", "SUBSYSTEM=block", "", "DEVNAME=sdb"}), false},
      {"a control byte", Message({"add@/devices/x", "SUBSYSTEM=block", "DEVNAME=sd\x1b[2J"}),
       false},
      {"a byte above ASCII", Message({"add@/devices/x", "SUBSYSTEM=block\xc3\xa9"}), false},
      {"header alone", Message({"add@/devices/x"}), false},
      {"empty", "", false},
      {"longer than any message",
       Message({"add@/devices/x", "SUBSYSTEM=block", "X=" + std::string(UEVENT_MESSAGE_MAX, 'x')}),
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Uevent event;
    ASSERT_EQ(ParseUevent(row.message.data(), row.message.size(), event), row.parsed);
    if (!row.parsed) continue;
    EXPECT_EQ(MeaningOf(event), row.meaning);
    EXPECT_EQ(event.devname, row.devname);
  }
}

// A /dev of plain files beside a fake sysfs: a node "opens" when its file
// exists and may be read.
class DevFolder {
 public:
  DevFolder() {
    std::string pattern = (fs::temp_directory_path() / "zq-dev-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~DevFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& Root() const { return root_; }
  void Make(const std::string& name, mode_t mode = 0644) const {
    std::ofstream(root_ + "/" + name).put('\0');
    chmod((root_ + "/" + name).c_str(), mode);
  }

 private:
  std::string root_;
};

TEST(Uevent, BridgesAreWaitedForUntilTheirNodesOpen) {
  struct Row {
    const char* name;
    FakeSysfs::Device device;
    std::vector<std::string> nodes;  // made under the dev folder
    bool settled;
    bool known = false;
    mode_t mode = 0644;
  };
  FakeSysfs::Device bridge;
  bridge.sg = 1;
  FakeSysfs::Device noBlockYet = bridge;
  noBlockYet.block = "";
  FakeSysfs::Device cdrom = bridge;
  cdrom.type = "5";
  cdrom.block = "sr0";
  cdrom.partitions = 0;
  FakeSysfs::Device stranger = bridge;
  stranger.idVendor = "1234";
  FakeSysfs::Device enclosureProcessor = bridge;
  enclosureProcessor.type = "13";
  enclosureProcessor.block = "";
  const Row rows[] = {
      {"both nodes open", bridge, {"sg1", "sdb"}, true},
      {"no generic node yet", bridge, {"sdb"}, false},
      {"no block node yet", bridge, {"sg1"}, false},
      {"the disk driver has not attached yet", noBlockYet, {"sg1"}, false},
      {"a CD-ROM unit's block node", cdrom, {"sg1", "sr0"}, true},
      {"a CD-ROM unit without it", cdrom, {"sg1"}, false},
      {"a unit that is no storage has no block node", enclosureProcessor, {"sg1"}, true},
      {"a stranger is not waited for", stranger, {}, true},
      {"a bridge told of before is not waited for", bridge, {}, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs sysfs;
    DevFolder dev;
    sysfs.Add(row.device);
    for (const std::string& node : row.nodes) dev.Make(node, row.mode);
    bool listed = false;
    const std::set<std::string> known =
        row.known ? std::set<std::string>{"/dev/sg1"} : std::set<std::string>{};
    const std::vector<std::string> unsettled =
        UnsettledBridges(ScanScsiGeneric(sysfs.Root(), listed), dev.Root(), known);
    EXPECT_EQ(unsettled.empty(), row.settled);
  }
  if (geteuid() != 0) {
    // udev has not granted the node yet
    FakeSysfs sysfs;
    DevFolder dev;
    sysfs.Add(bridge);
    dev.Make("sg1", 0);
    dev.Make("sdb");
    bool listed = false;
    EXPECT_EQ(UnsettledBridges(ScanScsiGeneric(sysfs.Root(), listed), dev.Root(), {}),
              std::vector<std::string>{"/dev/sg1"});
  }
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The events over a datagram socket the test writes the kernel's messages into.
class FedEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    feed_ = pair[0];
    FakeSysfs::Device bridge;
    bridge.sg = 1;
    bridge_ = bridge;
    std::string problem;
    cli::UeventSettings settings{sysfs_.Root(), dev_.Root(), 600, 20};
    events_ = cli::MakeUeventEvents(pair[1], false, settings, problem);
    ASSERT_NE(events_, nullptr) << problem;
  }
  void TearDown() override { close(feed_); }
  void Send(const std::string& message) const {
    ASSERT_EQ(send(feed_, message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
  }
  void SendAdd() const {
    Send(Message({"add@" + SG_PATH, "SUBSYSTEM=scsi_generic", "DEVNAME=sg1"}));
  }

  FakeSysfs sysfs_;
  DevFolder dev_;
  FakeSysfs::Device bridge_;
  int feed_ = -1;
  std::unique_ptr<cli::DeviceEvents> events_;
};

TEST_F(FedEvents, WakeEndsAWaitAtOnceAndIsKeptForTheNextWait) {
  std::thread waker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    events_->Wake();
  });
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(events_->Wait(20000));
  waker.join();
  EXPECT_LT(SecondsSince(start), 2.0);
  events_->Wake();
  start = Clock::now();
  EXPECT_FALSE(events_->Wait(20000));
  EXPECT_LT(SecondsSince(start), 1.0);
  // once told, a wake is spent
  start = Clock::now();
  EXPECT_FALSE(events_->Wait(50));
  EXPECT_GE(SecondsSince(start), 0.045);
}

TEST_F(FedEvents, ABridgeIsToldOnlyOnceItsNodesSettled) {
  sysfs_.Add(bridge_);
  SendAdd();
  // its sysfs entry is there, its nodes not yet
  EXPECT_FALSE(events_->Wait(150));
  dev_.Make("sg1");
  EXPECT_FALSE(events_->Wait(100));
  std::thread udev([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dev_.Make("sdb");
  });
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(events_->Wait(5000));
  udev.join();
  EXPECT_LT(SecondsSince(start), 0.5);
  // told once: nothing more is waiting
  EXPECT_FALSE(events_->Wait(50));
}

TEST_F(FedEvents, NodesThatNeverSettleAreToldAfterTheLimit) {
  sysfs_.Add(bridge_);
  SendAdd();
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(events_->Wait(5000));
  EXPECT_GE(SecondsSince(start), 0.55);
  EXPECT_LT(SecondsSince(start), 2.0);
  // the bridge was told: a later plug elsewhere does not wait for it again
  Send(Message({"add@/devices/x/2-2", "SUBSYSTEM=usb"}));
  EXPECT_TRUE(events_->Wait(100));
}

TEST_F(FedEvents, ARemovalIsToldAtOnceAndOthersNotAtAll) {
  Send(Message({"add@/devices/virtual/net/tun0", "SUBSYSTEM=net"}));
  Send("libudev\0garbage");
  EXPECT_FALSE(events_->Wait(100));
  Send(Message({"remove@" + SG_PATH, "SUBSYSTEM=scsi_generic", "DEVNAME=sg1"}));
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(events_->Wait(5000));
  EXPECT_LT(SecondsSince(start), 0.5);
}

TEST_F(FedEvents, ANodeNameTakenAgainIsANewBridge) {
  // sg1 was there and told of, then unplugged and plugged again before a wait
  sysfs_.Add(bridge_);
  dev_.Make("sg1");
  dev_.Make("sdb");
  SendAdd();
  EXPECT_TRUE(events_->Wait(1000));
  fs::remove(dev_.Root() + "/sg1");
  fs::remove(dev_.Root() + "/sdb");
  Send(Message({"remove@" + SG_PATH, "SUBSYSTEM=scsi_generic", "DEVNAME=sg1"}));
  SendAdd();
  EXPECT_FALSE(events_->Wait(150));
  dev_.Make("sg1");
  dev_.Make("sdb");
  EXPECT_TRUE(events_->Wait(1000));
}

TEST(KernelEvents, TheKernelsSocketIsHadOrRefusedWithAReason) {
  std::string problem;
  std::unique_ptr<cli::DeviceEvents> events = cli::MakeKernelDeviceEvents(problem);
  if (events == nullptr) {
    EXPECT_NE(problem.find("device event"), std::string::npos) << problem;
    GTEST_SKIP() << problem;
  }
  events->Wake();
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(events->Wait(20000));
  EXPECT_LT(SecondsSince(start), 1.0);
}

// In a child in fresh namespaces: 1 when its network is deaf to the kernel,
// plus 2 when the kernel's events are refused there with the reason; -1 when
// the namespaces cannot be made here.
int DeafInChild(int namespaces) {
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(namespaces) != 0) _exit(100);
    std::string problem;
    const bool refused = cli::MakeKernelDeviceEvents(problem) == nullptr &&
                         problem.find("do not reach this network namespace") != std::string::npos;
    _exit((cli::NetworkNamespaceIsDeaf() ? 1 : 0) + (refused ? 2 : 0));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 100 ? -1 : WEXITSTATUS(status);
}

TEST(KernelEvents, AContainersOwnNetworkIsToldDeafNotWaitedOnForEver) {
  const int ownUsers = DeafInChild(CLONE_NEWUSER);
  const int ownNetwork = DeafInChild(CLONE_NEWUSER | CLONE_NEWNET);
  if (ownUsers == -1 || ownNetwork == -1) GTEST_SKIP() << "no user namespaces to be had here";
  // a rootless container's own network: the socket would open and stay silent
  EXPECT_EQ(ownNetwork, 1 + 2);
  // a user namespace alone still shares the network the kernel speaks into
  if (!cli::NetworkNamespaceIsDeaf()) {
    EXPECT_EQ(ownUsers, 0);
  }
}

}  // namespace
}  // namespace zq
