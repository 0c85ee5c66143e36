// Intel HEX decoding straight into the image buffer.
#pragma once

#include <cstdint>
#include <string>

#include "image/file_port.h"
#include "image/image_buffer.h"

namespace zq {

// Decodes the open file into `data` (already zeroed). Writes only addresses
// 0 to 65 535. On success stores the highest data end in `codeSize`; on
// failure stores a short text in `errorText` and returns false.
bool DecodeIntelHex(InputFile& file, std::array<uint8_t, IMAGE_BUFFER_SIZE>& data,
                    uint32_t& codeSize, std::string& errorText);

}  // namespace zq
