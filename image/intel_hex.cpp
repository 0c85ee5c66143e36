#include "image/intel_hex.h"

#include <cstring>
#include <new>

namespace zq {
namespace {

constexpr uint32_t SIZE_QUERY_FAILED = 0xFFFFFFFF;  // what a failed 32-bit size query yields
constexpr uint16_t DIGIT_COUNT_LIMIT = 0xFFFF;
constexpr uint32_t RECORD_DATA_SIZE = 255;  // the largest byte count

constexpr uint8_t TYPE_DATA = 0x00;
constexpr uint8_t TYPE_END_OF_FILE = 0x01;
constexpr uint8_t TYPE_SEGMENT_BASE = 0x02;
constexpr uint8_t TYPE_LINEAR_BASE = 0x04;
constexpr uint8_t TYPE_HIGHEST = 0x05;

// Character classes: 0..15 a hex digit's value, then the few others that matter.
constexpr uint8_t CLASS_COLON = 16;
constexpr uint8_t CLASS_LINE_END = 17;
constexpr uint8_t CLASS_OTHER = 18;

struct CharClassTable {
  uint8_t cls[256];
  constexpr CharClassTable() : cls() {
    for (int c = 0; c < 256; ++c) cls[c] = CLASS_OTHER;
    for (int c = 0; c < 10; ++c) cls['0' + c] = static_cast<uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
      cls['A' + c] = static_cast<uint8_t>(10 + c);
      cls['a' + c] = static_cast<uint8_t>(10 + c);
    }
    cls[static_cast<uint8_t>(':')] = CLASS_COLON;
    cls[0x0D] = CLASS_LINE_END;
    cls[0x0A] = CLASS_LINE_END;
  }
};
constexpr CharClassTable CHAR_CLASS;

class HeapTextAllocator : public TextBlockAllocator {
 public:
  uint8_t* Allocate(uint32_t size) override { return new (std::nothrow) uint8_t[size]; }
  void Release(uint8_t* block) override { delete[] block; }
};

// Frees the text block on every way out.
class TextBlock {
 public:
  TextBlock(TextBlockAllocator& allocator, uint32_t size)
      : allocator_(allocator), block_(allocator.Allocate(size)) {}
  ~TextBlock() {
    if (block_ != nullptr) allocator_.Release(block_);
  }
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;
  uint8_t* get() const { return block_; }

 private:
  TextBlockAllocator& allocator_;
  uint8_t* block_;
};

enum class Finish { NEXT_RECORD, END_OF_FILE, FAILED };

class HexScanner {
 public:
  HexScanner(std::array<uint8_t, IMAGE_BUFFER_SIZE>& data, std::string& errorText)
      : data_(data), errorText_(errorText) {}

  // Scans the whole text; true once an end-of-file record was finished.
  bool Scan(const uint8_t* text, uint32_t length, uint32_t& codeSize) {
    for (uint32_t pos = 0; pos < length; ++pos) {
      const uint8_t cls = CHAR_CLASS.cls[text[pos]];
      if (cls == CLASS_COLON) {
        if (inRecord_) {
          const Finish finish = FinishRecord();
          if (finish == Finish::FAILED) return false;
          if (finish == Finish::END_OF_FILE) {
            codeSize = highWater_;
            return true;
          }
        }
        OpenRecord();
        if (length - pos > 8 && ReadHeader(text + pos + 1)) pos += 8;
        continue;
      }
      if (!inRecord_) continue;  // anything before the first colon is skipped
      if (cls < 16) {
        if (digitCount_ >= 8 && (digitCount_ & 1) == 0 && digitCount_ < dataDigitsEnd_) {
          const uint32_t used = CopyDataPairs(text + pos, length - pos);
          if (used != 0) {
            pos += used - 1;
            continue;
          }
        }
        if (!PlaceDigit(cls)) return false;
      } else if (cls != CLASS_LINE_END) {
        return Fail("Invalid file format[unknown data byte].");
      }
    }
    // the end of the text finishes the last record, once
    if (!inRecord_) return Fail("Invalid file format(1).");  // no colon at all
    const Finish finish = FinishRecord();
    if (finish == Finish::FAILED) return false;
    if (finish == Finish::NEXT_RECORD) return Fail("Invalid file format[no end record].");
    codeSize = highWater_;
    return true;
  }

 private:
  bool Fail(const char* text) {
    errorText_ = text;
    return false;
  }

  void OpenRecord() {
    inRecord_ = true;
    digitCount_ = 0;
    byteCount_ = 0;
    recordAddress_ = 0;
    recordType_ = 0;
    recordChecksum_ = 0;
    dataDigitsEnd_ = 8;
    // only what the last record wrote can be nonzero
    std::memset(recordData_, 0, dirtyBytes_);
    dirtyBytes_ = 0;
  }

  // Fast ways through the common case, a record written in one piece; they
  // give the same result as placing the digits one by one.

  // The eight header digits when they follow the colon with nothing between.
  bool ReadHeader(const uint8_t* p) {
    uint8_t v[8];
    for (int i = 0; i < 8; ++i) {
      v[i] = CHAR_CLASS.cls[p[i]];
      if (v[i] >= 16) return false;
    }
    byteCount_ = static_cast<uint8_t>(v[0] << 4 | v[1]);
    recordAddress_ = static_cast<uint16_t>(v[2] << 12 | v[3] << 8 | v[4] << 4 | v[5]);
    recordType_ = static_cast<uint8_t>(v[6] << 4 | v[7]);
    dataDigitsEnd_ = 2u * byteCount_ + 8u;
    digitCount_ = 8;
    return true;
  }

  // Whole data bytes from `p` while both digits are there; returns the digits used.
  uint32_t CopyDataPairs(const uint8_t* p, uint32_t available) {
    uint32_t n = digitCount_;
    const uint32_t last = dataDigitsEnd_;
    uint8_t* out = recordData_ + (n - 8) / 2;
    uint32_t used = 0;
    while (n + 2 <= last && used + 2 <= available) {
      const uint8_t high = CHAR_CLASS.cls[p[used]];
      const uint8_t low = CHAR_CLASS.cls[p[used + 1]];
      if ((high | low) >= 16) break;
      *out++ = static_cast<uint8_t>(high << 4 | low);
      n += 2;
      used += 2;
    }
    digitCount_ = static_cast<uint16_t>(n);
    if ((n - 8) / 2 > dirtyBytes_) dirtyBytes_ = (n - 8) / 2;
    return used;
  }

  bool PlaceDigit(uint8_t v) {
    // saturates: digits this far out are dropped anyway
    if (digitCount_ < DIGIT_COUNT_LIMIT) ++digitCount_;
    const uint32_t n = digitCount_;
    if (n > 8) {
      if (byteCount_ == 0) {
        if (n == 9) {
          recordChecksum_ = static_cast<uint8_t>(v << 4);
        } else if (n == 10) {
          recordChecksum_ = static_cast<uint8_t>(recordChecksum_ + v);
        } else {
          return Fail("Invalid file format(3).");
        }
      } else if (n <= dataDigitsEnd_) {
        const uint32_t index = (n - 9) >> 1;
        if (n & 1) {
          recordData_[index] = static_cast<uint8_t>(v << 4);
          dirtyBytes_ = index + 1;
        } else {
          recordData_[index] = static_cast<uint8_t>(recordData_[index] + v);
        }
      } else if (n == dataDigitsEnd_ + 1) {
        recordChecksum_ = static_cast<uint8_t>(v << 4);
      } else if (n == dataDigitsEnd_ + 2) {
        recordChecksum_ = static_cast<uint8_t>(recordChecksum_ + v);
      }
      // digits after the checksum belong to nothing and are dropped
      return true;
    }
    switch (n) {
      case 1:
        byteCount_ = static_cast<uint8_t>(v << 4);
        break;
      case 2:
        byteCount_ = static_cast<uint8_t>(byteCount_ + v);
        dataDigitsEnd_ = 2u * byteCount_ + 8u;
        break;
      case 3:
        recordAddress_ = static_cast<uint16_t>(v << 12);
        break;
      case 4:
        recordAddress_ = static_cast<uint16_t>(recordAddress_ + (v << 8));
        break;
      case 5:
        recordAddress_ = static_cast<uint16_t>(recordAddress_ + (v << 4));
        break;
      case 6:
        recordAddress_ = static_cast<uint16_t>(recordAddress_ + v);
        break;
      case 7:
        recordType_ = static_cast<uint8_t>(v << 4);
        break;
      default:  // 8
        recordType_ = static_cast<uint8_t>(recordType_ + v);
        break;
    }
    return true;
  }

  Finish FinishRecord() {
    inRecord_ = false;
    if (digitCount_ < 10) return Failed("Invalid file format(1).");
    if (recordType_ > TYPE_HIGHEST) return Failed("Invalid file format[unknown type].");
    switch (recordType_) {
      case TYPE_DATA:
        return FinishData();
      case TYPE_END_OF_FILE:
        if (digitCount_ != 10 || byteCount_ != 0 || recordAddress_ != 0 ||
            recordChecksum_ != 0xFF) {
          return Failed("Invalid file format(2).");
        }
        return Finish::END_OF_FILE;
      case TYPE_SEGMENT_BASE:
      case TYPE_LINEAR_BASE:
        return FinishAddressBase();
      default:  // start addresses mean nothing to a ROM image
        return Finish::NEXT_RECORD;
    }
  }

  Finish FinishData() {
    uint32_t sum = uint32_t{byteCount_} + (recordAddress_ >> 8u) + (recordAddress_ & 0xFFu) +
                   recordType_ + recordChecksum_;
    for (uint32_t i = 0; i < byteCount_; ++i) sum += recordData_[i];
    if ((sum & 0xFF) != 0) return Failed("Check sum error");
    // 64-bit so that a high linear base cannot wrap the end back below the ROM size
    const uint64_t start = static_cast<uint64_t>(addressBase_) + recordAddress_;
    const uint64_t end = start + byteCount_;
    if (end > ROM_SPACE) return Failed("Tha code size is larger than ROM size.");
    if (byteCount_ != 0) std::memcpy(data_.data() + start, recordData_, byteCount_);
    if (end > highWater_) highWater_ = static_cast<uint32_t>(end);
    return Finish::NEXT_RECORD;
  }

  Finish FinishAddressBase() {
    if (digitCount_ != 14 || byteCount_ != 2 || recordAddress_ != 0) {
      return Failed("Invalid file format[Type:0x04].");
    }
    const uint32_t sum =
        uint32_t{recordData_[0]} + recordData_[1] + recordChecksum_ + recordType_ + 2u;
    if ((sum & 0xFF) != 0) return Failed("Check sum error");
    const uint32_t value = static_cast<uint32_t>(recordData_[0]) << 8 | recordData_[1];
    addressBase_ = recordType_ == TYPE_SEGMENT_BASE ? value << 4 : value << 16;
    return Finish::NEXT_RECORD;
  }

  Finish Failed(const char* text) {
    errorText_ = text;
    return Finish::FAILED;
  }

  std::array<uint8_t, IMAGE_BUFFER_SIZE>& data_;
  std::string& errorText_;

  bool inRecord_ = false;
  uint16_t digitCount_ = 0;
  uint8_t byteCount_ = 0;
  uint16_t recordAddress_ = 0;
  uint8_t recordType_ = 0;
  uint8_t recordChecksum_ = 0;
  uint8_t recordData_[RECORD_DATA_SIZE] = {};
  uint32_t dataDigitsEnd_ = 8;  // number of the last data digit
  uint32_t dirtyBytes_ = 0;     // bytes of recordData_ written since the last reset
  uint32_t addressBase_ = 0;
  uint32_t highWater_ = 0;
};

}  // namespace

bool DecodeIntelHex(InputFile& file, std::array<uint8_t, IMAGE_BUFFER_SIZE>& data,
                    uint32_t& codeSize, std::string& errorText, TextBlockAllocator& allocator) {
  uint32_t size = 0;
  if (!file.GetSize(size) || size == SIZE_QUERY_FAILED) {
    errorText = "An error file";
    return false;
  }
  if (size == 0) {
    errorText = "An empty file";
    return false;
  }
  TextBlock text(allocator, size);
  if (text.get() == nullptr) {
    errorText = "access error";
    return false;
  }
  codeSize = 0;
  uint32_t got = 0;
  // a file that shrank since its size was asked is refused rather than half read
  if (!file.Read(text.get(), size, got) || got != size) {
    errorText = "Read file failed.";
    return false;
  }
  HexScanner scanner(data, errorText);
  return scanner.Scan(text.get(), size, codeSize);
}

bool DecodeIntelHex(InputFile& file, std::array<uint8_t, IMAGE_BUFFER_SIZE>& data,
                    uint32_t& codeSize, std::string& errorText) {
  HeapTextAllocator heap;
  return DecodeIntelHex(file, data, codeSize, errorText, heap);
}

}  // namespace zq
