// Loads WNASPI32 the way the window does and carries an erase, a write and a
// read-back to the bridge through it. Exit status 0 only when all of it works.

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/win32/aspi_win32.h"
#include "transport/aspi.h"

namespace {

constexpr uint32_t SMOKE_BYTES = 2 * zq::BLOCK_SIZE;

class PrintedProgress final : public zq::ProgressStepper {
 public:
  void StepProgress(uint8_t step, uint8_t cap) override {
    position = position >= cap ? cap : static_cast<uint8_t>(position + step);
    std::printf("  erase busy, progress %u\n", position);
  }
  uint8_t position = 5;
};

int Fail(const char* what) {
  std::printf("ASPI smoke test FAILED: %s\n", what);
  return 1;
}

uint8_t Pattern(uint32_t at) {
  return static_cast<uint8_t>(at * 7 + 3);
}

int Run(zq::AspiLayer& layer) {
  zq::AspiTransport transport(layer);
  zq::ChipInfo info{};
  std::unique_ptr<zq::Bridge> bridge =
      transport.FindBridge(zq::BRIDGE_VENDOR_ID, zq::BRIDGE_PRODUCT_ID, info);
  if (!bridge) return Fail("no bridge found");
  std::printf("bridge at %s: %04X:%04X firmware %02u.%02u.%02u.%03u\n", bridge->Name().c_str(),
              info.vendorId, info.productId, info.fwYear, info.fwMonth, info.fwDay, info.fwBuild);

  PrintedProgress progress;
  if (!bridge->EraseAndWait(progress, 0)) return Fail("erase");
  std::vector<uint8_t> block(zq::BLOCK_SIZE, 0);
  if (!bridge->ReadBlock(0, zq::BLOCK_SIZE, block.data())) {
    return Fail("read after erase");
  }
  for (uint8_t b : block) {
    if (b != 0xFF) return Fail("flash not erased");
  }

  std::vector<uint8_t> image(SMOKE_BYTES);
  for (uint32_t i = 0; i < SMOKE_BYTES; ++i) image[i] = Pattern(i);
  for (uint32_t at = 0; at < SMOKE_BYTES; at += zq::BLOCK_SIZE) {
    if (!bridge->WriteBlock(at, zq::BLOCK_SIZE, image.data() + at)) {
      return Fail("write");
    }
  }
  std::vector<uint8_t> back(SMOKE_BYTES, 0);
  for (uint32_t at = 0; at < SMOKE_BYTES; at += zq::BLOCK_SIZE) {
    if (!bridge->ReadBlock(at, zq::BLOCK_SIZE, back.data() + at)) {
      return Fail("read");
    }
  }
  if (back != image) return Fail("read-back differs from what was written");
  if (transport.PendingRequests() != 0) return Fail("requests left with the layer");
  std::printf("ASPI smoke test passed: erased, wrote and read back %u bytes\n", SMOKE_BYTES);
  return 0;
}

}  // namespace

int main() {
  zq::Win32AspiLayer layer;
  if (!layer.Load()) return Fail("cannot load WNASPI32");
  if (!layer.Bind(zq::ASPI_SUPPORT_INFO_ENTRY) || !layer.Bind(zq::ASPI_SEND_COMMAND_ENTRY)) {
    layer.Free();
    return Fail("WNASPI32 lacks an entry point");
  }
  const int result = Run(layer);
  layer.Free();
  return result;
}
