#include "image/image_buffer.h"

#include "image/intel_hex.h"

namespace zq {
namespace {

// Only ASCII letters are lowered: a byte of a multibyte character is never
// taken for one, and "bin" and "hex" are plain ASCII anyway.
std::string LowerAscii(const std::string& text) {
  std::string lowered = text;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

bool LoadRaw(InputFile& file, const std::string& name, ImageBuffer& image, std::string& errorText) {
  // one read of 65 537 bytes tells an oversized file apart without asking its length
  uint32_t got = 0;
  if (!file.Read(image.data.data(), IMAGE_BUFFER_SIZE, got) || got > IMAGE_BUFFER_SIZE) {
    errorText = "Read file failed.";
    return false;
  }
  if (got == 0) {
    errorText = name + " is an empty file.";
    return false;
  }
  if (got == IMAGE_BUFFER_SIZE) {
    errorText = name + " file size is larger than ROM size.";
    return false;
  }
  image.codeSize = got;
  return true;
}

}  // namespace

bool LoadImageFile(FilePort& files, const std::string& path, const std::string& name,
                   const std::string& extension, ImageBuffer& image, std::string& errorText) {
  // bytes no record covers must read as 0x00
  image.data.fill(0);
  image.codeSize = 0;

  // opened before the extension is looked at: an unreadable file is reported as such
  std::unique_ptr<InputFile> file = files.OpenForRead(path);
  if (!file) {
    errorText = "Could not open " + name;
    return false;
  }

  const std::string lowered = LowerAscii(extension);
  if (lowered == "bin") return LoadRaw(*file, name, image, errorText);
  if (lowered == "hex") {
    std::string decodeError;
    if (DecodeIntelHex(*file, image.data, image.codeSize, decodeError)) return true;
    errorText = "Read file failed.(" + decodeError + ")";
    return false;
  }
  errorText = "The extension of the file name must be .hex or .bin.";
  return false;
}

std::string FileExtension(const std::string& fileName) {
  const std::string::size_type dot = fileName.find_last_of('.');
  if (dot == std::string::npos) return std::string();
  // a dot in a folder name is no extension
  const std::string::size_type separator = fileName.find_last_of("/\\");
  if (separator != std::string::npos && separator > dot) return std::string();
  return fileName.substr(dot + 1);
}

}  // namespace zq
