// The emulated bridges as the command line's storage: every device is a
// bridge, so one discovery did not find is one that failed.
#include "cli/emulated_storage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/devices.h"

namespace zq::cli {
namespace {

constexpr const char* SILENT = ": a bridge that gave no chip information";

TEST(EmulatedStorage, ABridgeNotFoundIsAFailureWhereItWasLookedFor) {
  EmulatedStorage storage;
  EmulationOptions options;
  options.bridges = 3;
  std::string problem;
  bool usage = false;
  ASSERT_TRUE(storage.Prepare(options, problem, usage)) << problem;
  struct Row {
    const char* name;
    std::vector<std::string> found;
    std::vector<std::string> named;  // empty: none named
    bool passThrough;
    std::vector<std::string> problems;
  };
  const std::string one = "emulated1";
  const std::vector<Row> rows = {
      {"all found", {"emulated1", "emulated2", "emulated3"}, {}, true, {}},
      {"two silent",
       {"emulated2"},
       {},
       true,
       {std::string("emulated1") + SILENT, std::string("emulated3") + SILENT}},
      {"only the named one counts",
       {"emulated1"},
       {"emulated3"},
       true,
       {std::string("emulated3") + SILENT}},
      {"named and found", {"emulated3"}, {"emulated3"}, true, {}},
      {"on ASPI, by adapter and target",
       {"adapter 0, target 0", "adapter 0, target 2"},
       {},
       false,
       {std::string("adapter 0, target 1") + SILENT}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> problems;
    for (const DeviceProblem& unseen :
         storage.Unseen(row.found, row.named.empty() ? nullptr : &row.named, row.passThrough)) {
      EXPECT_EQ(unseen.text.rfind(unseen.device + ": ", 0), 0u);
      problems.push_back(unseen.text);
    }
    EXPECT_EQ(problems, row.problems);
  }
  // nothing is mounted or needs claiming; only its own devices are modelled
  std::vector<std::string> points = {"stale"};
  EXPECT_TRUE(storage.MountPoints("emulated1", points, problem));
  EXPECT_TRUE(points.empty());
  EXPECT_TRUE(storage.ClaimDisk("emulated1", problem));
  EXPECT_TRUE(storage.Describe("emulated1").emulated);
  EXPECT_EQ(storage.ModelledSeconds("emulated2"), 0.0);
  EXPECT_EQ(storage.ModelledSeconds("/dev/sg2"), std::nullopt);
  EXPECT_EQ(storage.StorageProblem("/dev/sg2"), "");
}

TEST(EmulatedStorage, TheOptionsChooseTheStorage) {
  struct Row {
    const char* name;
    uint32_t bridges;
    bool made;
    DevicesProblem::Kind kind;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"emulated", 2, true, DevicesProblem::Kind::Other, ""},
      {"too many", 9, false, DevicesProblem::Kind::Usage, "--emulate-bridges takes 1 to 8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceOptions options;
    options.emulate = true;
    options.emulation.bridges = row.bridges;
    DevicesProblem problem;
    const std::unique_ptr<SystemStorage> storage = StorageFor(options, problem);
    ASSERT_EQ(storage != nullptr, row.made);
    EXPECT_EQ(problem.kind, row.kind);
    EXPECT_EQ(problem.text, row.text);
    if (storage) {
      EXPECT_TRUE(storage->Describe("emulated2").emulated);
    }
  }
}

}  // namespace
}  // namespace zq::cli
