// The firmware image and loading it from a raw or Intel HEX file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "image/file_port.h"

namespace zq {

constexpr uint32_t ROM_SPACE = 65536;  // 16-bit ROM addresses
// One byte more than the ROM: one read of 65 537 bytes tells an oversized raw
// file apart without asking its length first.
constexpr uint32_t IMAGE_BUFFER_SIZE = ROM_SPACE + 1;

struct ImageBuffer {
  std::array<uint8_t, IMAGE_BUFFER_SIZE> data;
  uint32_t codeSize;
};

// Loads the file at `path` into `image`, which is cleared first. `name` is the
// bare file name used in messages, `extension` the part after its last dot.
// On failure returns false with the error box's text in `errorText`; `image`
// then holds whatever the attempt left.
bool LoadImageFile(FilePort& files, const std::string& path, const std::string& name,
                   const std::string& extension, ImageBuffer& image, std::string& errorText);

// The extension as the Open dialog reports it: after the last dot, or empty.
std::string FileExtension(const std::string& fileName);

}  // namespace zq
