// Reply frames for the fuzz drivers: the frame of any info bytes (also with
// an odd length word), and the reply a controller could give to the request
// the device has outstanding, laid out by the wire tables and its field
// bytes taken from the fuzz input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/checking_host.h"
#include "fuzz/input.h"

namespace fuzz {

// A reply frame from controller 1. `odd` adds one more hex digit (`nibble`)
// after the info bytes: an odd length word.
std::string reply_frame(std::uint8_t rtn, const std::vector<std::uint8_t>& info, bool odd = false,
                        std::uint8_t nibble = 0);

// The data byte of a request frame, or -1.
int request_byte(const std::string& request);

struct Reply {
  std::vector<std::uint8_t> info;
  bool odd = false;
};

// The reply a controller could give to the outstanding request, its fields
// taken from the input. `next_module` follows the 0x8F requests of a cycle.
Reply template_reply(const Rig& rig, unsigned& next_module, Reader& in);

}  // namespace fuzz
