// Intel HEX decoding straight into the image buffer.
#pragma once

#include <cstdint>
#include <string>

#include "image/file_port.h"
#include "image/image_buffer.h"

namespace zq {

// Where the decoder gets the block that holds the file's text. The default
// uses the heap; tests substitute one that fails or counts.
class TextBlockAllocator {
 public:
  virtual ~TextBlockAllocator() = default;
  // Null when the block cannot be had.
  virtual uint8_t* Allocate(uint32_t size) = 0;
  virtual void Release(uint8_t* block) = 0;
};

// Decodes the open file into `data` (already zeroed). Writes only addresses
// 0 to 65 535. On success stores the highest data end in `codeSize`; on
// failure stores a short text in `errorText` and returns false.
bool DecodeIntelHex(InputFile& file, std::array<uint8_t, IMAGE_BUFFER_SIZE>& data,
                    uint32_t& codeSize, std::string& errorText);

// The same, taking the text block from `allocator`.
bool DecodeIntelHex(InputFile& file, std::array<uint8_t, IMAGE_BUFFER_SIZE>& data,
                    uint32_t& codeSize, std::string& errorText, TextBlockAllocator& allocator);

}  // namespace zq
