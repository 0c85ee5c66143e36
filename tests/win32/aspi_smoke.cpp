// Loads WNASPI32 the way the window does and carries an erase, a write and a
// read-back to the bridge through it. Exit status 0 only when all of it works.
// With "other-type" the bridge reports a type no bridge has: the search by
// type must pass it over. With "slow" the layer takes longer than the wait:
// the request must be aborted and let go.

#include <cstdio>
#include <cstring>
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

// The search by type finds the bridge the window's search finds, or none
// when it reports another type.
int SearchByType(zq::AspiTransport& transport, const zq::Bridge& bridge, bool otherType) {
  const auto byType = transport.FindBridgesByType(zq::BRIDGE_VENDOR_ID, zq::BRIDGE_PRODUCT_ID);
  if (otherType) {
    if (!byType.empty()) return Fail("a device of another type was sent the vendor command");
    std::printf("ASPI smoke test passed: the search by type passed over %s\n",
                bridge.Name().c_str());
    return 0;
  }
  if (byType.size() != 1 || byType[0]->Name() != bridge.Name()) {
    return Fail("the search by type did not find the bridge");
  }
  return -1;
}

int TimeOut(zq::AspiTransport& transport) {
  zq::ChipInfo info{};
  if (transport.ReadChipInfo(0, 0, info)) return Fail("a request outlasting its wait succeeded");
  if (transport.PendingRequests() != 0) return Fail("the timed-out request was not aborted");
  std::printf("ASPI smoke test passed: a timed-out request was aborted\n");
  return 0;
}

int Run(zq::AspiLayer& layer, const char* mode) {
  zq::AspiTransport transport(layer);
  if (std::strcmp(mode, "slow") == 0) return TimeOut(transport);
  zq::ChipInfo info{};
  std::unique_ptr<zq::Bridge> bridge =
      transport.FindBridge(zq::BRIDGE_VENDOR_ID, zq::BRIDGE_PRODUCT_ID, info);
  if (!bridge) return Fail("no bridge found");
  const int searched = SearchByType(transport, *bridge, std::strcmp(mode, "other-type") == 0);
  if (searched >= 0) return searched;
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

int main(int argc, char** argv) {
  zq::Win32AspiLayer layer;
  if (!layer.Load()) return Fail("cannot load WNASPI32");
  if (!layer.Bind(zq::ASPI_SUPPORT_INFO_ENTRY) || !layer.Bind(zq::ASPI_SEND_COMMAND_ENTRY)) {
    layer.Free();
    return Fail("WNASPI32 lacks an entry point");
  }
  const int result = Run(layer, argc > 1 ? argv[1] : "");
  layer.Free();
  return result;
}
