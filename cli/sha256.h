// SHA-256, for naming an image by its bytes in the update log: the Windows
// builds have no crypto library to ask.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::cli {

class Sha256 {
 public:
  Sha256() { Reset(); }
  void Reset();
  void Add(const uint8_t* data, size_t length);
  // The digest of everything added, as 64 lowercase hex digits; ends the hash.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_;
  size_t pendingLength_ = 0;
  uint64_t totalLength_ = 0;
};

}  // namespace zq::cli
