// Why a bridge's node could not be had, in the words the command line
// prints: the system's error, the driver's host status, the sense data.
#pragma once

#include <string>

#include "cli/system_storage.h"
#include "platform/linux/sg_pass_through.h"

namespace zq::cli {

std::string CommandFailureWords(const CommandFailure& failure);
// Why discovery could not use `device`, with what the port knows of it.
OpenProblem UnusedNodeProblem(SgPassThroughPort& port, const UnusedDevice& device);
DeviceProblem ProblemOf(const OpenProblem& problem);

}  // namespace zq::cli
