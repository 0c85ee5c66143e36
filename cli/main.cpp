// zq5210: the updater driven from the command line. The same window
// behaviour runs behind it; the terminal stands in for the window.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/report.h"
#include "cli/terminal.h"
#include "cli/terminal_window.h"
#include "zq_version.h"

namespace {

using namespace zq::cli;

int Parse(int argc, char** argv) {
  CLI::App app{"zq5210: firmware updater for ZQ5210 USB-to-storage bridges"};
  app.require_subcommand(1);
  app.footer(EXIT_STATUS_TEXT);
  // the release, and the checkout it was built from when there was one
  app.set_version_flag("--version",
                       std::string("zq5210 " ZQ_VERSION) +
                           (*ZQ_GIT_DESCRIPTION ? " (git " ZQ_GIT_DESCRIPTION ")" : ""));

  struct Entry {
    CLI::App* parsed;
    std::unique_ptr<CommandRun> run;
  };
  std::vector<Entry> entries;
  for (const Command& command : Commands()) {
    Entry entry{app.add_subcommand(command.name, command.summary), command.make()};
    entry.run->AddOptions(*entry.parsed);
    entries.push_back(std::move(entry));
  }

  // a script that asked for JSON gets its object even when the words are wrong
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json") TheReport().UseJson(true);
  }
  // a word that names no command is said to be unknown, not "unexpected"
  if (argc > 1 && argv[1][0] != '-' && FindCommand(argv[1]) == nullptr) {
    std::fprintf(stderr, "zq5210: unknown command '%s'\n%s", EscapeControls(argv[1]).c_str(),
                 UsageText().c_str());
    TheReport().Message(std::string("unknown command '") + argv[1] + "'");
    return EXIT_USAGE;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zq5210: %s\n%s", EscapeControls(e.what()).c_str(), UsageText().c_str());
    TheReport().Message(e.what());
    return EXIT_USAGE;
  }
  for (Entry& entry : entries) {
    if (!entry.parsed->parsed()) continue;
    TheReport().UseJson(entry.run->json);
    return entry.run->Run();
  }
  return EXIT_USAGE;  // require_subcommand has refused this already
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardStreamsOpen();
  InstallStopHandlers();
  int status = Parse(argc, argv);
  const bool reported = TheReport().Finish(status);
  // results that never reached their reader: the work stands, its report is lost
  if (!reported || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zq5210: cannot write to standard output: %s\n", std::strerror(errno));
    if (status == EXIT_OK) status = EXIT_NOT_REPORTED;
  }
  return status;
}
