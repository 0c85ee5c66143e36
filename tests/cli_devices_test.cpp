// The command line's hold on devices: only the named bridge is touched,
// whatever storage the devices were given.
#include "cli/devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/emulated_storage.h"

namespace zq::cli {
namespace {

// Only the bridge the user named is asked for its chip information: what
// --verbose logs is every command sent.
TEST(ChosenDevices, OnlyTheNamedBridgeIsOpened) {
  struct Row {
    std::vector<std::string> named;
    std::vector<std::string> asked;
  };
  const std::vector<Row> rows = {
      {{}, {"emulated1", "emulated2", "emulated3"}},
      {{"emulated2"}, {"emulated2"}},
      {{"emulated3", "emulated1"}, {"emulated1", "emulated3"}},
      {{"emulated9"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.named.empty() ? "none named" : row.named.front());
    DeviceOptions options;
    options.emulate = true;
    options.emulation.bridges = 3;
    options.devices = row.named;
    options.verbose = true;
    Devices devices;
    DevicesProblem problem;
    ASSERT_TRUE(devices.Open(options, problem)) << problem.text;
    testing::internal::CaptureStderr();
    std::vector<FoundBridge> found = devices.FindAll();
    const std::string log = testing::internal::GetCapturedStderr();
    std::vector<std::string> asked;
    for (size_t at = log.find("zq5210: "); at != std::string::npos;
         at = log.find("zq5210: ", at + 1)) {
      const size_t colon = log.find(':', at + 8);
      EXPECT_EQ(log.substr(colon, 5), ": E0 ");
      asked.push_back(log.substr(at + 8, colon - at - 8));
    }
    EXPECT_EQ(asked, row.asked);
    EXPECT_TRUE(devices.Problems().empty()) << "a bridge not named is no failure";
    std::string why;
    EXPECT_EQ(devices.KeepNamed(found, why), row.named.empty() || !row.asked.empty()) << why;
  }
}

// On ASPI a bridge is named by adapter and target, as list shows it; only
// the named targets are asked, and one not named is no failure.
TEST(ChosenDevices, AspiBridgesAreNamedAsListShowsThem) {
  struct Row {
    std::vector<std::string> named;
    std::vector<std::string> kept;  // empty: refused
    std::string problem;
  };
  const std::vector<Row> rows = {
      {{"adapter 0, target 1"}, {"adapter 0, target 1"}, ""},
      {{"Adapter 0,Target 2", "0:0"}, {"adapter 0, target 2", "adapter 0, target 0"}, ""},
      {{"0:7"}, {}, "0:7: no bridge found there"},
      {{"emulated1"},
       {},
       "emulated1: no ASPI device; name one as list shows it (\"adapter 0, target 1\")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.named.front());
    DeviceOptions options;
    options.emulate = true;
    options.transport = "aspi";
    options.emulation.bridges = 3;
    options.devices = row.named;
    Devices devices;
    DevicesProblem problem;
    ASSERT_TRUE(devices.Open(options, problem)) << problem.text;
    std::vector<FoundBridge> found = devices.FindAll();
    EXPECT_LE(found.size(), row.named.size());
    EXPECT_TRUE(devices.Problems().empty());
    std::string why;
    EXPECT_EQ(devices.KeepNamed(found, why), !row.kept.empty());
    std::vector<std::string> kept;
    for (const FoundBridge& bridge : found) kept.push_back(bridge.bridge->Name());
    if (!row.kept.empty()) {
      EXPECT_EQ(kept, row.kept);
    }
    EXPECT_EQ(why, row.problem);
  }
}

// A system of its own: "first" and "second" name its two bridges, each is
// told by a port, and a third device could not be had.
class NamingStorage final : public SystemStorage {
 public:
  explicit NamingStorage(bool dismounts = false) : dismounts_(dismounts) {
    EmulationOptions options;
    options.bridges = 2;
    std::string problem;
    bool usage = false;
    EXPECT_TRUE(bridges_.Prepare(options, *locks_, problem, usage)) << problem;
  }
  Platform& Ports() override { return bridges_; }
  DeviceDetails Describe(const std::string& device) override {
    return {"9-" + device.substr(device.size() - 1), "", ""};
  }
  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string& problem) override {
    if (wanted != "first" && wanted != "second") {
      problem = "not known here";
      return false;
    }
    devices.push_back(wanted == "first" ? "emulated1" : "emulated2");
    return true;
  }
  std::vector<DeviceProblem> OpenProblems(const std::vector<UnusedDevice>&) override {
    return {{"emulated3", ProblemKind::InUse, "emulated3: held"}};
  }
  bool MountPoints(const std::string&, std::vector<std::string>& points, std::string&) override {
    points = mounted;
    return true;
  }
  bool CanDismount() const override { return dismounts_; }
  std::vector<std::string> mounted;

 private:
  bool dismounts_;
  std::unique_ptr<FileLocks> locks_ = MakeFileLocks();
  EmulatedBridges bridges_;
};

TEST(ChosenDevices, TheStorageGivenNamesFindsAndClaimsTheBridges) {
  struct Row {
    std::vector<std::string> named;
    std::vector<std::string> lines;  // empty: refused
    std::string problem;
  };
  const std::vector<Row> rows = {
      {{}, {"emulated1 (USB 9-1)", "emulated2 (USB 9-2)"}, ""},
      {{"second"}, {"emulated2 (USB 9-2)"}, ""},
      {{"second", "first", "second"}, {"emulated2 (USB 9-2)", "emulated1 (USB 9-1)"}, ""},
      {{"third"}, {}, "third: not known here"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.named.empty() ? "none named" : row.named.front());
    DeviceOptions options;
    options.devices = row.named;
    Devices devices;
    DevicesProblem problem;
    auto storage = std::make_unique<NamingStorage>();
    NamingStorage& system = *storage;
    ASSERT_TRUE(devices.Open(options, std::move(storage), problem)) << problem.text;
    std::vector<FoundBridge> found = devices.FindAll();
    std::string why;
    EXPECT_EQ(devices.KeepNamed(found, why), !row.lines.empty());
    EXPECT_EQ(why, row.problem);
    std::vector<std::string> lines;
    for (const FoundBridge& bridge : found) lines.push_back(DeviceLine(bridge));
    if (!row.lines.empty()) {
      EXPECT_EQ(lines, row.lines);
    }
    if (row.named.empty()) {
      // what the system could not open, and its mounts, are the storage's word
      ASSERT_EQ(devices.Problems().size(), 1u);
      EXPECT_EQ(devices.Problems()[0].text, "emulated3: held");
      EXPECT_TRUE(devices.ClaimDisk(found[0], why)) << why;
      system.mounted = {"/mnt/card"};
      EXPECT_FALSE(devices.ClaimDisk(found[0], why));
      EXPECT_EQ(why,
                "emulated1: its disk is mounted on /mnt/card; unmount it first (the "
                "enclosure's storage stops while its firmware is rewritten)");
    }
  }
  // --dismount is refused by a storage that cannot dismount, taken by one that can
  DeviceOptions options;
  options.dismount = true;
  Devices refusing;
  DevicesProblem problem;
  EXPECT_FALSE(refusing.Open(options, std::make_unique<NamingStorage>(), problem));
  EXPECT_EQ(problem.kind, DevicesProblem::Kind::Usage);
  Devices taking;
  EXPECT_TRUE(taking.Open(options, std::make_unique<NamingStorage>(true), problem));
}

}  // namespace
}  // namespace zq::cli
