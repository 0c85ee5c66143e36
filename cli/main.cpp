// zq5210: the updater driven from the command line. The window's
// operations on a bridge run behind it, shown on the terminal.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/report.h"
#include "cli/terminal.h"
#include "zq_version.h"

using namespace zq::cli;

int main(int argc, char** argv) {
  KeepStandardStreamsOpen();
  InstallStopHandlers();
  // the release, and the checkout it was built from when there was one
  int status = ParseAndRun(argc, argv,
                           std::string("zq5210 " ZQ_VERSION) +
                               (*ZQ_GIT_DESCRIPTION ? " (git " ZQ_GIT_DESCRIPTION ")" : ""));
  const bool reported = TheReport().Finish(status);
  // results that never reached their reader: the work stands, its report is lost
  if (!reported || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zq5210: cannot write to standard output: %s\n", std::strerror(errno));
    if (status == EXIT_OK) status = EXIT_NOT_REPORTED;
  }
  return status;
}
