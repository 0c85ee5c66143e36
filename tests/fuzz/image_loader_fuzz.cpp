// Feeds arbitrary files to the image loader the way the window does, and
// aborts on anything beyond a crash that would still be wrong: a write past
// the image, a result that differs from a plain reference reader, an unknown
// error text, or a failed load that disturbs the image already loaded.
//
// The first input byte chooses how the rest is presented:
//   bits 0-1  the extension: "bin", "hex", "HEX" or "txt"
//   bit 2     the file delivers one byte fewer than its size says
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "fuzz/reference_hex.h"
#include "image/image_buffer.h"
#include "image/intel_hex.h"
#include "support/memory_files.h"
#include "support/recording_host.h"

namespace {

using zq::IMAGE_BUFFER_SIZE;
using zq::ImageBuffer;

constexpr uint8_t GUARD = 0xC3;  // neither what a clear nor a typical record writes
constexpr size_t GUARD_SIZE = 64;
constexpr const char* EXTENSIONS[] = {"bin", "hex", "HEX", "txt"};

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "image loader property violated: %s\n", what);
  std::abort();
}

void Check(bool holds, const char* what) {
  if (!holds) Violation(what);
}

// An image with guard bytes on both sides, so a stray write shows even where
// the address sanitizer sees only the one object.
struct GuardedImage {
  uint8_t before[GUARD_SIZE];
  ImageBuffer image;
  uint8_t after[GUARD_SIZE];

  void Fill() {
    std::memset(before, GUARD, sizeof before);
    image.data.fill(GUARD);
    image.codeSize = 0xDEADBEEF;
    std::memset(after, GUARD, sizeof after);
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < GUARD_SIZE; ++i) {
      if (before[i] != GUARD || after[i] != GUARD) return false;
    }
    return true;
  }
};

bool KnownText(const std::string& text, const std::string& name) {
  static const std::set<std::string> decoderTexts = {
      "An empty file",
      "An error file",
      "access error",
      "Read file failed.",
      "Invalid file format[unknown data byte].",
      "Invalid file format(3).",
      "Invalid file format(1).",
      "Invalid file format[unknown type].",
      "Check sum error",
      "Tha code size is larger than ROM size.",
      "Invalid file format(2).",
      "Invalid file format[Type:0x04].",
      "Invalid file format[no end record].",
  };
  if (text == "Read file failed." || text == "Could not open " + name ||
      text == name + " is an empty file." || text == name + " file size is larger than ROM size." ||
      text == "The extension of the file name must be .hex or .bin.") {
    return true;
  }
  const std::string prefix = "Read file failed.(";
  return text.size() > prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0 &&
         text.back() == ')' &&
         decoderTexts.count(text.substr(prefix.size(), text.size() - prefix.size() - 1)) != 0;
}

// What loading these bytes must give, worked out without the loader.
struct Expected {
  bool ok = false;
  std::string error;
  uint32_t codeSize = 0;
  // 65 537 bytes after a clear to zero; held once, big buffers made afresh
  // for every input would cost more than the input itself
  std::vector<uint8_t>& data;
};

Expected ExpectedLoad(const std::string& extension, const std::string& name, const uint8_t* bytes,
                      size_t size, uint32_t shortfall) {
  static std::vector<uint8_t> buffer(IMAGE_BUFFER_SIZE);
  Expected expected{false, std::string(), 0, buffer};
  std::memset(buffer.data(), 0, buffer.size());
  const size_t delivered = size - std::min<size_t>(shortfall, size);
  if (extension == "bin") {
    const size_t got = std::min<size_t>(delivered, IMAGE_BUFFER_SIZE);
    std::memcpy(expected.data.data(), bytes, got);
    if (got == 0) {
      expected.error = name + " is an empty file.";
    } else if (got == IMAGE_BUFFER_SIZE) {
      expected.error = name + " file size is larger than ROM size.";
    } else {
      expected.ok = true;
      expected.codeSize = static_cast<uint32_t>(got);
    }
    return expected;
  }
  if (extension == "hex" || extension == "HEX") {
    if (size == 0) {
      expected.error = "Read file failed.(An empty file)";
    } else if (delivered != size) {
      expected.error = "Read file failed.(Read file failed.)";
    } else {
      const zq::fuzz::ReferenceResult r =
          zq::fuzz::ReferenceDecodeHex(bytes, size, expected.data.data());
      expected.ok = r.ok;
      expected.codeSize = r.ok ? r.codeSize : 0;
      if (!r.ok) expected.error = "Read file failed.(" + r.error + ")";
    }
    return expected;
  }
  expected.error = "The extension of the file name must be .hex or .bin.";
  return expected;
}

void CheckLoader(zq::test::MemoryFilePort& files, const std::string& path, const std::string& name,
                 const std::string& extension, const Expected& expected) {
  static GuardedImage guarded;
  guarded.Fill();
  std::string errorText;
  const bool ok = zq::LoadImageFile(files, path, name, extension, guarded.image, errorText);
  Check(guarded.GuardsIntact(), "the loader wrote outside the image buffer");
  Check(ok == expected.ok, "success differs from the reference");
  if (!ok) {
    Check(KnownText(errorText, name), "unknown error text");
    Check(errorText == expected.error, "error text differs from the reference");
    return;
  }
  Check(guarded.image.codeSize == expected.codeSize, "code size differs from the reference");
  Check(guarded.image.codeSize <= zq::ROM_SPACE, "code size beyond the ROM");
  Check(std::memcmp(guarded.image.data.data(), expected.data.data(), IMAGE_BUFFER_SIZE) == 0,
        "image bytes differ from the reference");
}

// The decoder alone, over a buffer that was not cleared: every byte no data
// record covers, the extra byte above all, must keep its guard value.
void CheckDecoderWrites(const uint8_t* bytes, size_t size) {
  static GuardedImage guarded;
  static std::vector<uint8_t> reference(IMAGE_BUFFER_SIZE);
  guarded.Fill();
  std::memset(reference.data(), GUARD, reference.size());
  const zq::fuzz::ReferenceResult r = zq::fuzz::ReferenceDecodeHex(bytes, size, reference.data());

  zq::test::MemoryFilePort files;
  files.AddFile("t.hex", std::vector<uint8_t>(bytes, bytes + size));
  std::unique_ptr<zq::InputFile> file = files.OpenForRead("t.hex");
  std::string errorText;
  uint32_t codeSize = 0;
  const bool ok = zq::DecodeIntelHex(*file, guarded.image.data, codeSize, errorText);
  Check(guarded.GuardsIntact(), "the decoder wrote outside the image buffer");
  Check(guarded.image.data[zq::ROM_SPACE] == GUARD, "the decoder wrote the extra byte");
  Check(ok == r.ok, "decoder success differs from the reference");
  Check(std::memcmp(guarded.image.data.data(), reference.data(), IMAGE_BUFFER_SIZE) == 0,
        "decoder wrote bytes the reference did not, or other values");
  if (ok) Check(codeSize == r.codeSize, "decoder code size differs from the reference");
}

// Through the window: a load that fails must leave the image loaded before,
// the title, the code-size label and the Update button as they were.
struct WindowUnderTest {
  zq::test::RecordingWindow window;
  zq::test::MemoryFilePort files;
  zq::test::FakePlatform platform{nullptr, nullptr};
  zq::UpdaterDialog dialog{window, files, platform};
};

const std::vector<uint8_t> EARLIER = {0x02, 0x00, 0x30, 0x75, 0x81, 0x07};

void CheckWindowWith(WindowUnderTest* host, const std::string& path, const std::string& name,
                     const uint8_t* bytes, size_t size, uint32_t shortfall,
                     const Expected& expected) {
  static const std::vector<uint8_t> zeros(IMAGE_BUFFER_SIZE);
  zq::test::RecordingWindow& window = host->window;
  zq::UpdaterDialog& dialog = host->dialog;

  host->files.faults.readShortfall = 0;
  window.AnswerOpen("C:\\fw\\earlier.bin");
  dialog.OnLoadFile();
  Check(window.boxes.empty() && dialog.Image().codeSize == EARLIER.size(),
        "the earlier image did not load");
  const std::string title = window.title;
  const std::string label = window.Text(IDC_CODE_SIZE);

  host->files.AddFile(path, std::vector<uint8_t>(bytes, bytes + size));
  host->files.faults.readShortfall = shortfall;
  window.AnswerOpen(path);
  dialog.OnLoadFile();
  host->files.files.erase(path);

  Check(window.enabled[IDC_UPDATE], "Update was disabled");
  Check(dialog.ImageName() == name, "the image name does not name the chosen file");
  if (!expected.ok) {
    Check(window.boxes.size() == 1 && window.boxes[0].text == expected.error &&
              window.boxes[0].caption == "ERROR",
          "a failed load did not show exactly its one error box");
    Check(window.title == title, "a failed load changed the title");
    Check(window.Text(IDC_CODE_SIZE) == label, "a failed load changed the code size label");
    const ImageBuffer& image = dialog.Image();
    Check(image.codeSize == EARLIER.size(), "a failed load changed the code size");
    Check(std::memcmp(image.data.data(), EARLIER.data(), EARLIER.size()) == 0,
          "a failed load changed the image");
    Check(std::memcmp(image.data.data() + EARLIER.size(), zeros.data(),
                      IMAGE_BUFFER_SIZE - EARLIER.size()) == 0,
          "a failed load left bytes in the image");
    return;
  }
  Check(window.boxes.empty(), "a good load showed a box");
  Check(window.title == std::string(zq::TITLE_PREFIX) + name, "title after a good load");
  Check(window.Text(IDC_CODE_SIZE) == " Code size: " + std::to_string(expected.codeSize) + "(B)",
        "code size label after a good load");
  Check(dialog.Image().codeSize == expected.codeSize, "code size after a good load");
  Check(std::memcmp(dialog.Image().data.data(), expected.data.data(), IMAGE_BUFFER_SIZE) == 0,
        "image after a good load");
}

void CheckWindow(const std::string& path, const std::string& name, const uint8_t* bytes,
                 size_t size, uint32_t shortfall, const Expected& expected) {
  // one window for all inputs: a good load of the same earlier image first
  // puts it into the same state each time
  static WindowUnderTest* const host = [] {
    auto* created = new WindowUnderTest;
    created->dialog.OnInitDialog();
    created->files.AddFile("C:\\fw\\earlier.bin", EARLIER);
    return created;
  }();
  CheckWindowWith(host, path, name, bytes, size, shortfall, expected);
  // what the host recorded is let go within the same input, so the leak
  // check sees as many frees as allocations
  host->window.ClearTrail();
  host->window.openRequests.clear();
  host->files.opened.clear();
  host->files.readRequests.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = input[0];
  const uint8_t* bytes = input + 1;
  const size_t length = size - 1;
  const std::string extension = EXTENSIONS[selector & 3];
  const uint32_t shortfall = (selector & 4) != 0 ? 1 : 0;
  const std::string name = "input." + extension;
  const std::string path = "C:\\fw\\" + name;

  const Expected expected = ExpectedLoad(extension, name, bytes, length, shortfall);

  zq::test::MemoryFilePort files;
  files.AddFile(path, std::vector<uint8_t>(bytes, bytes + length));
  files.faults.readShortfall = shortfall;
  CheckLoader(files, path, name, extension, expected);
  if ((extension == "hex" || extension == "HEX") && length != 0) CheckDecoderWrites(bytes, length);
  CheckWindow(path, name, bytes, length, shortfall, expected);
  return 0;
}
