// The bridge's USB identity: what its device descriptor says, the one place
// both IDs are written.
#pragma once

#include <cstdint>

namespace zq {

constexpr uint16_t BRIDGE_VENDOR_ID = 0x3F1D;
constexpr uint16_t BRIDGE_PRODUCT_ID = 0x5210;

}  // namespace zq
