// Bytes in hexadecimal for the --verbose log; the SCSI answers' words are
// the transport's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/scsi_words.h"

namespace zq::cli {

// "E2 00 04 00 02 00"
std::string HexBytes(const uint8_t* bytes, size_t length);

}  // namespace zq::cli
