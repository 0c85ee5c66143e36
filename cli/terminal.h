// What the command line needs of the terminal and the process it runs in;
// each platform's binding folder defines these.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zq::cli {

// A terminal on standard error that a bar can be drawn on.
bool StderrTakesProgressBar();

// Gives closed standard streams the null device before anything else is
// opened: otherwise the next file opened (a device, a flash file) would
// take their place and receive the texts meant for them.
void KeepStandardStreamsOpen();
bool StdinIsTerminal();

// Asks `question` on the terminal the user sits at, wherever standard input
// and error go; true only for a yes typed there. False when there is none.
bool AskOnTerminal(const std::string& question);

// Takes stop requests as cli/stop_requests.h says: at once (temporary files
// removed, exit 130) unless held, then remembered and announced once.
void InstallStopHandlers();

// Runs each job on a thread of its own and waits for all of them.
void RunTogether(const std::vector<std::function<void()>>& jobs);

}  // namespace zq::cli
