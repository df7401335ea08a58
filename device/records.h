// Fixed-layout records of the controller's replies. They are copied byte
// for byte into the snapshot, so every layout is packed and its size is
// checked here. Multi-byte numbers are in host (little-endian) order unless
// a comment says otherwise. Where each field stands in its reply, and how it
// is converted, is the field tables' business (protocol/protocol.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace hvr38qt {

#pragma pack(push, 1)

// Snapshot header, kept in the device.
struct header_block {
  std::uint32_t device_id;     // host device id, set by the settings step
  float output_voltage;        // 0x42, volts
  std::uint8_t module_count;   // 0x42
  std::uint8_t time_stamp[7];  // host time of the last serialisation
};

// Reply to 0x95.
struct block_95 {
  std::uint8_t ext_state_1;
  std::uint8_t ext_state_2;
  float ext_value;
};

// One rectifier module, filled from the 0x42, 0x43, 0x44 and 0x8F replies.
struct tele_c_hvr38qt_rc_channel {
  float current;               // 0x42: the module's value bytes, tenths
  std::uint8_t state_1;        // 0x43
  std::uint8_t state_2;
  std::uint8_t state_3;
  std::uint8_t alarm_state;    // 0x44: 0x01 fault, 0xFE no communication
  std::uint8_t module_no;      // 0x8F
  std::uint8_t status_bits[9]; // 0x8F, bit fields
  std::uint16_t value16_1;     // 0x8F, swapped
  std::uint16_t value16_2;     // 0x8F, swapped
  std::uint16_t value16_3;     // 0x8F, swapped
  std::uint32_t value32_1;     // 0x8F, swapped
  std::uint32_t value32_2;     // 0x8F, swapped
  std::uint32_t value32_3;     // 0x8F, swapped
  std::uint8_t extra[32];      // 0x8F, unchanged
};

// One AC distribution unit, from 0xA2.
struct hvr38qt_41_a2 {
  float u_a, u_b, u_c;     // AC input 1 phase voltages
  float u2_a, u2_b, u2_c;  // AC input 2 phase voltages
  float value_6, value_7, value_8, value_9;
  float frequency;         // AC input 1 frequency
  float value_11;          // AC input 2 frequency
  std::uint8_t status_1, status_2, status_3;
};

// One output branch of a DC distribution unit.
struct dc_branch {
  std::uint16_t b_value16_1;  // swapped
  std::uint32_t b_value32_1;  // swapped
  std::uint32_t b_value32_2;  // swapped
  std::uint16_t b_value16_2;  // swapped
  std::uint8_t b_byte;
};

// One DC distribution unit, from 0xA4.
struct hvr38qt_41_a4 {
  std::uint16_t dc_value16;
  std::uint32_t dc_value32_1;
  std::uint32_t dc_value32_2;
  std::uint8_t dc_byte;
  dc_branch branch[16];
};

// One entry of the 0xA3 block.
struct a3_entry {
  std::uint8_t entry_head[4];
  std::uint16_t entry_value[7];  // host order
};

struct block_a3 {
  a3_entry entry[8];
};

// One active alarm of the controller's list. `code` is stored as it arrives
// (big-endian) and turned into host order when the snapshot is built.
struct alarm_item {
  std::uint8_t unit;
  std::uint8_t category;
  std::uint16_t code;
};

#pragma pack(pop)

static_assert(sizeof(header_block) == 16);
static_assert(sizeof(block_95) == 6);
static_assert(sizeof(tele_c_hvr38qt_rc_channel) == 68);
static_assert(offsetof(tele_c_hvr38qt_rc_channel, value16_1) == 18);
static_assert(offsetof(tele_c_hvr38qt_rc_channel, extra) == 36);
static_assert(sizeof(hvr38qt_41_a2) == 51);
static_assert(sizeof(dc_branch) == 13);
static_assert(sizeof(hvr38qt_41_a4) == 219);
static_assert(offsetof(hvr38qt_41_a4, branch) == 11);
static_assert(sizeof(a3_entry) == 18);
static_assert(sizeof(block_a3) == 144);
static_assert(sizeof(alarm_item) == 4);

// Big-endian helpers over raw bytes.
inline std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t be32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}
// Tenths: a big-endian u16 divided by 10 in single precision.
inline float tenths(const std::uint8_t* p) {
  return static_cast<float>(be16(p)) / 10.0f;
}

}  // namespace hvr38qt
