// Drivers shared by the fuzz targets and the regression tests. Each takes one
// arbitrary input, runs a part of the device or the codec with it and checks
// invariants on the way (fuzz/checking_host.h); a broken invariant is printed
// and aborts, so the fuzzer reports it like a crash and a regression test
// fails.
//
// Input layouts (every read past the end of the input gives zero bytes, so a
// short input still drives a whole cycle of a healthy, all-zero controller):
//
// frame stream   repeated: u8 chunk length - 1 (mod 64), chunk bytes
// device cycle   u16 device id, u8 ac choice, u8 dc choice, u8 mode choice,
//                u8 flags (bit 0: batched check reports a change),
//                [mode 2: 8 x u8 level, 5 x u16 threshold, 4 x u8 module
//                level], u8 cycles - 1 (mod 4; 1 cycle with more than 64
//                units), then per cycle: u8 clock step (s), the cycle's
//                steps (see run_cycle), u8 query delay (s)
// settings       JSON text; a 0 byte separates a second JSON text that is
//                applied by a second settings step
// cache restore  u8 flags (bit 0: restore before the settings step, bits 1-2:
//                length case, bit 3: text overload), u16 device id, u8 ac,
//                u8 dc, u8 mode choice, u16 payload size, payload, u16 length
//                argument, [mode 2 levels], one cycle, u16 second length,
//                one cycle
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "fuzz/checking_host.h"
#include "fuzz/input.h"
#include "fuzz/reply_templates.h"

namespace fuzz {

// ---------------------------------------------------------------------------
// Configuration

// A count setting: the edge values, text and numbers, null, an array (not
// readable as text) or no member at all (nullopt). The largest counts cost a
// cycle of some 170000 rule reports, so only two byte values that mutations
// seldom produce give them.
inline constexpr std::uint8_t kCount255 = 0x8E;
inline constexpr std::uint8_t kCount256 = 0x8F;
std::optional<Json::Value> count_value(std::uint8_t sel);
std::optional<Json::Value> mode_value(std::uint8_t sel);

// Three choice bytes: ac_number, dc_number, b_mode. Mode 3 also gets a few
// threshold settings.
Json::Value config_from(Reader& in);

// The host's levels of the mobile rules (and the thresholds of those that
// have one) from the input.
void set_levels(HVR38QT& d, Reader& in);

// ---------------------------------------------------------------------------
// Cache restore and poll cycles

// Case (0-3): 0 the whole payload, 1 a length up to the payload's size,
// 2 a negative length, 3 no data.
void restore(Rig& r, const std::vector<std::uint8_t>& payload, unsigned which, std::uint16_t arg,
             bool as_text);

inline constexpr unsigned kMaxSteps = 4096;

// Starts a poll and answers every request until the cycle is over (the
// operation bytes are listed in drivers.cpp).
void run_cycle(Rig& r, Reader& in);

// ---------------------------------------------------------------------------
// Drivers

void drive_frame_stream(const std::uint8_t* data, std::size_t size);
Stats drive_device_cycle(const std::uint8_t* data, std::size_t size);
Stats drive_settings(const std::uint8_t* data, std::size_t size);
Stats drive_cache_restore(const std::uint8_t* data, std::size_t size);

// JSON text as the host reads it; nonsense reads as null.
Json::Value parse_json(std::string_view text);

// A changed cycle of a controller with two modules at 53.5 V, all else zero.
std::vector<std::uint8_t> healthy_cycle_script();

}  // namespace fuzz
