// The command line's own pieces: its table of commands and its exit statuses.
#include <gtest/gtest.h>

#include "cli/commands.h"
#include "cli/exit_status.h"

namespace zq::cli {
namespace {

// The usage text, the unknown-command check and the parser all come from
// one table: each command is in the usage once, and every command builds.
TEST(CommandTable, UsageAndLookUpCoverEveryCommandOnce) {
  const std::string usage = UsageText();
  for (const Command& command : Commands()) {
    const std::string line = std::string("zq5210 ") + command.name + " ";
    EXPECT_NE(usage.find(line), std::string::npos) << command.name;
    EXPECT_EQ(usage.find(line), usage.rfind(line)) << command.name;
    EXPECT_EQ(FindCommand(command.name), &command);
    std::unique_ptr<CommandRun> run = command.make();
    CLI::App app;
    EXPECT_NO_THROW(run->AddOptions(*app.add_subcommand(command.name)));
  }
  for (const char* word : {"", "updat", "Update", "read_rom", "--json"}) {
    EXPECT_EQ(FindCommand(word), nullptr) << word;
  }
}

// Several bridges end with the worst of them: a bridge that may hold no
// firmware outweighs a stop, a stop outweighs a failure before the erase.
TEST(ExitStatus, WorstOfSeveralAndOfEachResult) {
  struct Case {
    UpdateResult result;
    int status;
  };
  const Case results[] = {
      {UpdateResult::Updated, EXIT_OK},
      {UpdateResult::Unchanged, EXIT_OK},
      {UpdateResult::NoDevice, EXIT_FAILED},
      {UpdateResult::Declined, EXIT_FAILED},
      {UpdateResult::EraseFailed, EXIT_AFTER_ERASE},
      {UpdateResult::VerifyFailed, EXIT_AFTER_ERASE},
      {UpdateResult::StoppedAfterWrite, EXIT_STOPPED},
  };
  for (const Case& c : results) {
    EXPECT_EQ(ExitStatusOf(c.result), c.status) << static_cast<int>(c.result);
  }
  const int order[] = {EXIT_OK, EXIT_FAILED, EXIT_STOPPED, EXIT_AFTER_ERASE};
  for (size_t worse = 0; worse < std::size(order); ++worse) {
    for (size_t better = 0; better <= worse; ++better) {
      EXPECT_EQ(Worst(order[better], order[worse]), order[worse]);
      EXPECT_EQ(Worst(order[worse], order[better]), order[worse]);
    }
  }
}

}  // namespace
}  // namespace zq::cli
