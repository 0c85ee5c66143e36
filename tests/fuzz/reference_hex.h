// A deliberately plain Intel HEX reader, one digit at a time with no fast
// paths, that the fuzz target holds the real decoder against. It keeps the
// same choices where the format leaves room: a text that ends without an
// end-of-file record fails, and digits past a record's checksum are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::fuzz {

struct ReferenceResult {
  bool ok = false;
  std::string error;
  uint32_t codeSize = 0;
};

// `data` holds 65 537 bytes; only bytes covered by data records are written.
inline ReferenceResult ReferenceDecodeHex(const uint8_t* text, size_t length, uint8_t* data) {
  ReferenceResult result;
  bool inRecord = false;
  uint32_t digits = 0;
  uint32_t byteCount = 0;
  uint32_t address = 0;
  uint32_t type = 0;
  uint32_t checksum = 0;
  uint8_t recordData[255] = {};
  uint32_t base = 0;
  uint32_t highWater = 0;

  auto fail = [&](const char* why) {
    result.ok = false;
    result.error = why;
    return result;
  };
  auto open = [&] {
    inRecord = true;
    digits = byteCount = address = type = checksum = 0;
    for (uint8_t& b : recordData) b = 0;
  };
  auto bad = [&](const char* why) {
    result.error = why;
    return -1;
  };
  // 0: go on, 1: end of file, -1: failed with `result.error` set
  auto finish = [&]() -> int {
    if (digits < 10) return bad("Invalid file format(1).");
    if (type > 5) return bad("Invalid file format[unknown type].");
    if (type == 0) {
      uint32_t sum = byteCount + (address >> 8) + (address & 0xFF) + type + checksum;
      for (uint32_t i = 0; i < byteCount; ++i) sum += recordData[i];
      if (sum % 256 != 0) return bad("Check sum error");
      const uint64_t start = uint64_t{base} + address;
      const uint64_t end = start + byteCount;
      if (end > 65536) return bad("Tha code size is larger than ROM size.");
      for (uint32_t i = 0; i < byteCount; ++i) data[start + i] = recordData[i];
      if (end > highWater) highWater = static_cast<uint32_t>(end);
      return 0;
    }
    if (type == 1) {
      if (digits != 10 || byteCount != 0 || address != 0 || checksum != 0xFF) {
        return bad("Invalid file format(2).");
      }
      return 1;
    }
    if (type == 2 || type == 4) {
      if (digits != 14 || byteCount != 2 || address != 0) {
        return bad("Invalid file format[Type:0x04].");
      }
      if ((recordData[0] + recordData[1] + checksum + type + 2) % 256 != 0) {
        return bad("Check sum error");
      }
      const uint32_t value = recordData[0] * 256u + recordData[1];
      base = type == 2 ? value * 16u : value * 65536u;
    }
    return 0;
  };

  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = text[i];
    if (c == ':') {
      if (inRecord) {
        const int r = finish();
        if (r < 0) return result;
        if (r == 1) {
          result.ok = true;
          result.codeSize = highWater;
          return result;
        }
      }
      open();
      continue;
    }
    if (!inRecord) continue;
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (v < 0) {
      if (c == '\r' || c == '\n') continue;
      return fail("Invalid file format[unknown data byte].");
    }
    const uint32_t u = static_cast<uint32_t>(v);
    const uint32_t n = ++digits;
    if (n <= 2) {
      byteCount = n == 1 ? u * 16u : byteCount + u;
    } else if (n <= 6) {
      address += u << (4 * (6 - n));
    } else if (n <= 8) {
      type = n == 7 ? u * 16u : type + u;
    } else if (byteCount == 0) {
      if (n >= 11) return fail("Invalid file format(3).");
      checksum = n == 9 ? u * 16u : checksum + u;
    } else if (n == 2 * byteCount + 9) {
      checksum = u * 16u;
    } else if (n == 2 * byteCount + 10) {
      checksum += u;
    } else if (n <= 2 * byteCount + 8) {
      if (n % 2 == 1) {
        recordData[(n - 9) / 2] = static_cast<uint8_t>(u * 16);
      } else {
        recordData[(n - 10) / 2] = static_cast<uint8_t>(recordData[(n - 10) / 2] + u);
      }
    }
  }
  if (!inRecord) return fail("Invalid file format(1).");
  const int r = finish();
  if (r < 0) return result;
  if (r == 0) return fail("Invalid file format[no end record].");
  result.ok = true;
  result.codeSize = highWater;
  return result;
}

}  // namespace zq::fuzz
