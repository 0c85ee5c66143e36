// Text settings of the emulated bridge, shared by the command line and the
// emulated WNASPI32.DLL: the chip record and seeded faults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "emulator/bridge_device.h"
#include "image/file_port.h"

namespace zq {

// Digits of `base` only (no sign, no blanks, no prefix), value within
// [minimum, maximum]; `value` is only written on success.
bool ParseNumber(std::string_view text, unsigned base, uint32_t minimum, uint32_t maximum,
                 uint32_t& value);

// The environment variable's value; empty when it is not set.
std::string EnvironmentSetting(const char* name);

// Exactly 24 hex digits, either case, nothing else. `record` is only
// written on success.
bool ParseRecordHex(const std::string& hex24, std::array<uint8_t, CHIP_INFO_RECORD_SIZE>& record);

// One fault: "write:N", "read:N", "lie-write:N", "vanish:N" (N decimal,
// at least 1), "short-read:N", "flip:ADDR" (decimal or 0x-hex, 0..65535),
// "erase", "refuse-erase", "stuck", "status" or "info". Adds it to `faults`; on false `faults` is
// untouched.
bool ParseFault(const std::string& text, BridgeFaults& faults);

// The chip's settings from the environment, for the emulated Windows
// programs: ZQ_EMU_FLASH (flash file, loaded now), ZQ_EMU_RECORD (24 hex
// digits), ZQ_EMU_BUSY (busy answers after each erase) and ZQ_EMU_FAULT
// (faults separated by commas). Unset or empty variables change nothing. On
// a bad setting returns false and names it in `problem`.
bool ConfigureFromEnvironment(FilePort& files, BridgeDevice& chip, std::string& flashPath,
                              std::string& problem);

}  // namespace zq
