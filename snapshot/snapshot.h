// The snapshot image (host data type 5029) of one device, from its view.
//
// Layout (little-endian numbers; A, D AC and DC units, M modules, N alarm
// items):
//
//   0        16        16+51A     16+51A+219D   22+51A+219D   +68M   +144  +2
//   |header  |AC units |DC units  |0x95 block   |modules      |0xA3  |0x93 |alarm items..|
#pragma once

#include <cstddef>
#include <span>

#include "device/view.h"

namespace hvr38qt::snapshot {

// The buffer size: 51A + 219D + 68C + 22 + 146 + 800 bytes, C the module
// count of the header (room for 200 alarm items).
std::size_t image_size(const DeviceView& view);

// Writes the layout into `image`, cut at its end: what lies past it is
// dropped, alarm items whole. The alarm codes must be in host order.
void serialise(const DeviceView& view, std::span<unsigned char> image);

}  // namespace hvr38qt::snapshot
