// Options that several commands share.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/devices.h"

namespace zq::cli {

// An empty value is a mistake, never "not given".
extern const CLI::Validator NON_EMPTY;

void AddJsonFlag(CLI::App& command, bool& json);

// A file argument the command cannot do without.
void AddFileArgument(CLI::App& command, const char* name, std::string& path,
                     const char* description);

// --device, --transport and the --emulate family.
void AddDeviceOptions(CLI::App& command, DeviceOptions& options);

}  // namespace zq::cli
