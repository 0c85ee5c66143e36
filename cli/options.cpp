#include "cli/options.h"

namespace zq::cli {

const CLI::Validator NON_EMPTY(
    [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
    "", "NON_EMPTY");

// Numbers are decimal, whatever their leading zeros: "010" is ten, never eight.
const CLI::Validator DECIMAL(
    [](std::string& value) {
      if (value.empty()) return std::string("empty value");
      if (value.find_first_not_of("0123456789") != std::string::npos) {
        return "not a decimal number: " + value;
      }
      const size_t digits = value.find_first_not_of('0');
      value = digits == std::string::npos ? "0" : value.substr(digits);
      return std::string();
    },
    "", "DECIMAL");

void AddJsonFlag(CLI::App& command, bool& json) {
  command.add_flag("--json", json, "print one JSON object on standard output");
}

void AddFileArgument(CLI::App& command, const char* name, std::string& path,
                     const char* description) {
  command.add_option(name, path, description)->required()->check(NON_EMPTY);
}

void AddDeviceOptions(CLI::App& command, DeviceOptions& options) {
  command
      .add_option("--transport", options.transport,
                  "pass-through or aspi (the default on Windows 98 and Me)")
      ->check(CLI::IsMember({"pass-through", "aspi"}));
  command
      .add_option("--device", options.devices,
                  "the bridge to use: on Linux a generic node (/dev/sg2), a block or partition "
                  "node (/dev/sdb, /dev/sdb1), a symlink to one (/dev/disk/by-id/...) or a USB "
                  "port path (2-1.4); on Windows a drive letter (E:), PhysicalDriveN, CdRomN, a "
                  "serial number or a USB port path (1-1.4); may be given several times")
      ->check(NON_EMPTY);
  command.add_flag("--verbose", options.verbose,
                   "each command sent to a bridge on standard error: CDB, direction and length, "
                   "SCSI status, sense, residue, milliseconds");
  CLI::Option* emulate = command.add_flag("--emulate", options.emulate, "use emulated bridges");
  EmulationOptions& emulation = options.emulation;
  command.add_option("--emulate-bridges", emulation.bridges, "how many emulated bridges (1 to 8)")
      ->needs(emulate)
      ->transform(DECIMAL);
  command
      .add_option("--emulate-flash", emulation.flashFiles,
                  "keep an emulated bridge's flash in FILE (created erased); once per bridge")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command
      .add_option("--emulate-record", emulation.record,
                  "the emulated chip-information record, 24 hex digits")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command.add_option("--emulate-busy", emulation.busy, "busy answers after each erase")
      ->needs(emulate)
      ->transform(DECIMAL);
  command
      .add_option("--emulate-fault", emulation.faults,
                  "[K:]F, F one of write:N read:N short-read:N lie-write:N flip:ADDR erase "
                  "refuse-erase stuck status info in-use vanish:N; for bridge K, or every bridge")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command
      .add_option("--emulate-plug", emulation.plugs,
                  "plug the emulated bridges in and out on a schedule: K@SECONDS plugs bridge K "
                  "in, K-@SECONDS pulls it out, comma-separated (\"1@0,2@1.5,1-@3,1@4\"); "
                  "every bridge starts out")
      ->needs(emulate)
      ->check(NON_EMPTY);
  command
      .add_flag("--emulate-timing", emulation.timing,
                "the emulated bridges take a real chip's time for each command")
      ->needs(emulate);
}

}  // namespace zq::cli
