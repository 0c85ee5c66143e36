#include "support/memory_files.h"

#include <algorithm>
#include <cstring>

namespace zq::test {
namespace {

class MemoryInputFile : public InputFile {
 public:
  MemoryInputFile(MemoryFilePort& port, std::vector<uint8_t> bytes)
      : port_(port), bytes_(std::move(bytes)) {}

  bool GetSize(uint32_t& size) override {
    ++port_.sizeQueries;
    if (port_.faults.sizeFails) return false;
    size = port_.faults.reportedSize ? *port_.faults.reportedSize
                                     : static_cast<uint32_t>(bytes_.size());
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
    port_.readRequests.push_back(length);
    got = 0;
    if (port_.faults.readFails) return false;
    const size_t shortfall = std::min<size_t>(port_.faults.readShortfall, bytes_.size());
    const size_t readable = bytes_.size() - shortfall;
    const size_t remaining = readable > position_ ? readable - position_ : 0;
    const size_t count = std::min<size_t>(remaining, length);
    if (count != 0) std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    got = static_cast<uint32_t>(count);
    return true;
  }

 private:
  MemoryFilePort& port_;
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

class MemoryOutputFile : public OutputFile {
 public:
  MemoryOutputFile(MemoryFilePort& port, std::string path) : port_(port), path_(std::move(path)) {}
  ~MemoryOutputFile() override {
    if (!committed_) ++port_.abandoned;
  }

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    written = 0;
    if (committed_ || port_.faults.writeFails) return false;
    size_t room = length;
    if (port_.faults.writeCapacity) {
      const size_t capacity = *port_.faults.writeCapacity;
      room = capacity > bytes_.size() ? std::min<size_t>(capacity - bytes_.size(), length) : 0;
    }
    bytes_.insert(bytes_.end(), data, data + room);
    written = static_cast<uint32_t>(room);
    return true;
  }

  bool Flush() override { return !port_.faults.flushFails; }

  bool Commit() override {
    if (committed_ || port_.faults.flushFails || port_.faults.commitFails) return false;
    committed_ = true;
    port_.files[path_] = bytes_;
    port_.commits.push_back(MemoryCommit{path_, bytes_});
    return true;
  }

 private:
  MemoryFilePort& port_;
  std::string path_;
  std::vector<uint8_t> bytes_;
  bool committed_ = false;
};

}  // namespace

void MemoryFilePort::AddFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  files[path] = bytes;
}

void MemoryFilePort::AddFile(const std::string& path, const std::string& text) {
  files[path] = std::vector<uint8_t>(text.begin(), text.end());
}

std::unique_ptr<InputFile> MemoryFilePort::OpenForRead(const std::string& path) {
  const auto found = files.find(path);
  if (found == files.end() || unopenable.count(path) != 0) return nullptr;
  opened.push_back(path);
  return std::make_unique<MemoryInputFile>(*this, found->second);
}

std::unique_ptr<OutputFile> MemoryFilePort::CreateForWrite(const std::string& path) {
  if (faults.createFails) return nullptr;
  return std::make_unique<MemoryOutputFile>(*this, path);
}

}  // namespace zq::test
