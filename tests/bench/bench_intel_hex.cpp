// Decoding speed of a full 64 KiB Intel HEX image, against a loop that only
// reads every byte of the same text once.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "image/intel_hex.h"

namespace {

// The text in memory; each decode reads it afresh.
class TextFile : public zq::InputFile {
 public:
  explicit TextFile(const std::string& text) : text_(text) {}
  bool GetSize(uint32_t& size) override {
    size = static_cast<uint32_t>(text_.size());
    return true;
  }
  bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
    got = length < text_.size() ? length : static_cast<uint32_t>(text_.size());
    std::memcpy(buffer, text_.data(), got);
    return true;
  }

 private:
  const std::string& text_;
};

std::string FullImageText() {
  std::string text = ":020000040000FA\n";
  char line[64];
  uint32_t state = 0x12345678;
  for (uint32_t address = 0; address < zq::ROM_SPACE; address += 16) {
    uint8_t bytes[16];
    uint32_t sum = 16 + (address >> 8) + (address & 0xFF);
    for (uint8_t& b : bytes) {
      state = state * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state >> 24);
      sum += b;
    }
    size_t n = static_cast<size_t>(std::snprintf(line, sizeof line, ":10%04X00", address));
    for (uint8_t b : bytes)
      n += static_cast<size_t>(std::snprintf(line + n, sizeof line - n, "%02X", b));
    std::snprintf(line + n, sizeof line - n, "%02X\n", static_cast<unsigned>(-sum & 0xFF));
    text += line;
  }
  return text + ":00000001FF\n";
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  const std::string text = FullImageText();
  const int rounds = 400;
  const double megabytes = static_cast<double>(text.size()) * rounds / 1e6;

  static std::array<uint8_t, zq::IMAGE_BUFFER_SIZE> data;
  uint32_t codeSize = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    TextFile file(text);
    std::string error;
    if (!zq::DecodeIntelHex(file, data, codeSize, error) || codeSize != zq::ROM_SPACE) {
      std::fprintf(stderr, "decode failed: %s (code size %u)\n", error.c_str(), codeSize);
      return 1;
    }
  }
  const double decodeRate = megabytes / Seconds(start);

  // a byte at a time, each read really made: what a scanner cannot go below
  const volatile char* bytes = text.data();
  uint64_t lineEnds = 0;
  start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < text.size(); ++i) lineEnds += bytes[i] == '\n';
  }
  const double readRate = megabytes / Seconds(start);

  // the same left to the optimiser, which may take many bytes at once
  uint64_t sum = 0;
  start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    const unsigned char* plain = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size(); ++i) sum += plain[i];
    __asm__ __volatile__("" : "+r"(sum));  // keeps each round from being folded away
  }
  const double sumRate = megabytes / Seconds(start);

  std::printf("text: %zu bytes, %d rounds (%llu line ends, sum %llu)\n", text.size(), rounds,
              static_cast<unsigned long long>(lineEnds), static_cast<unsigned long long>(sum));
  std::printf("decode:            %9.1f MB/s\n", decodeRate);
  std::printf("byte-by-byte read: %9.1f MB/s  ratio %.2f\n", readRate, readRate / decodeRate);
  std::printf("vectorised sum:    %9.1f MB/s  ratio %.2f\n", sumRate, sumRate / decodeRate);
  return 0;
}
