// SCSI answers in words, for people reading a failure or a --verbose log
// from a real machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::cli {

// "E2 00 04 00 02 00"
std::string HexBytes(const uint8_t* bytes, size_t length);
// "check condition (0x02)"
std::string ScsiStatusWords(uint8_t status);
// "UNIT ATTENTION, ASC/ASCQ 29/00 (power on or reset)"; empty when the
// bytes are no sense data.
std::string SenseWords(const uint8_t* sense, size_t length);

}  // namespace zq::cli
