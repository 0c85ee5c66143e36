// The texts the window shows, shared with the command line that stands in
// for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zq {

inline constexpr const char* TEXT_PLATFORM = "The program only works on Win2000/XP/Me/98.";
inline constexpr const char* TEXT_NO_ASPI =
    "Can't not find WNASPI32.DLL or the DLL file has error.";
inline constexpr const char* TEXT_GETTING_INFO = "Getting the chip information...";
inline constexpr const char* TEXT_ERASING = "Erasing...";
inline constexpr const char* TEXT_WRITING = "Writing ROM code...";
inline constexpr const char* TEXT_READING = "Reading code from ROM...";
inline constexpr const char* TEXT_NO_DEVICE = "Can't find or connect to the device.";
inline constexpr const char* TEXT_REJECTED = "Can't access the chip.(Be rejected!)";
inline constexpr const char* TEXT_NO_CODE = "No ROM code to write.";
inline constexpr const char* TEXT_ERASE_FAILED = "Can't erase the chip's ROM.";
inline constexpr const char* TEXT_WRITE_FAILED = "Can't write ROM code into the chip.";
inline constexpr const char* TEXT_READ_FAILED = "Can't read ROM code from the chip.";
inline constexpr const char* TEXT_VERIFY_FAILED = "ROM code verification error.";
inline constexpr const char* TEXT_UPDATED = "Updated OK!";
inline constexpr const char* TEXT_READ_DONE = "Finished read! (Save As...)";
inline constexpr const char* TEXT_WRITE_FILE_FAILED = "Write file error";

// The code size label as a load shows it.
inline std::string CodeSizeLabel(uint32_t codeSize) {
  char label[48];
  std::snprintf(label, sizeof label, " Code size: %d(B)", static_cast<int>(codeSize));
  return label;
}

}  // namespace zq
