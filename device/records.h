// Fixed-layout records of the controller's replies. They are copied byte
// for byte into the snapshot, so every layout is packed and its size is
// checked here. Multi-byte numbers are in host (little-endian) order unless
// a comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hvr38qt {

#pragma pack(push, 1)

// Snapshot header, kept in the device.
struct header_block {
  std::uint32_t device_id;     // host device id, set by the settings step
  float output_voltage;        // 0x42 info 1-2, tenths (volts)
  std::uint8_t module_count;   // 0x42 info 3
  std::uint8_t time_stamp[7];  // host time of the last serialisation
};

// Reply to 0x95.
struct block_95 {
  std::uint8_t ext_state_1;  // info 0
  std::uint8_t ext_state_2;  // info 1
  float ext_value;           // info 2-3, tenths
};

// One rectifier module.
//
//  byte  0   4  5  6  7  8  9        18   20   22   24   28   32   36      68
//        |cur|s1|s2|s3|al|no|status  |v16 |v16 |v16 |v32 |v32 |v32 |extra  |
//        0x42 |  0x43  |44|  0x8F info bytes 1-60 ........................ |
struct tele_c_hvr38qt_rc_channel {
  float current;               // 0x42: the module's value bytes, tenths
  std::uint8_t state_1;        // 0x43
  std::uint8_t state_2;
  std::uint8_t state_3;
  std::uint8_t alarm_state;    // 0x44: 0x01 fault, 0xFE no communication
  std::uint8_t module_no;      // 0x8F info 1
  std::uint8_t status_bits[9]; // 0x8F info 2-10, bit fields
  std::uint16_t value16_1;     // 0x8F info 11-12, swapped
  std::uint16_t value16_2;     // 0x8F info 13-14, swapped
  std::uint16_t value16_3;     // 0x8F info 15-16, swapped
  std::uint32_t value32_1;     // 0x8F info 17-20, swapped
  std::uint32_t value32_2;     // 0x8F info 21-24, swapped
  std::uint32_t value32_3;     // 0x8F info 25-28, swapped
  std::uint8_t extra[32];      // 0x8F info 29-60, unchanged
};

// One AC distribution unit, from 0xA2: twelve tenths values then three
// status bytes.
struct hvr38qt_41_a2 {
  float u_a, u_b, u_c;     // AC input 1 phase voltages (info 0-5)
  float u2_a, u2_b, u2_c;  // AC input 2 phase voltages (info 6-11)
  float value_6, value_7, value_8, value_9;  // info 12-19
  float frequency;         // AC input 1 frequency (info 20-21)
  float value_11;          // AC input 2 frequency (info 22-23)
  std::uint8_t status_1, status_2, status_3;  // info 24-26, unchanged
};

// One output branch of a DC distribution unit.
struct dc_branch {
  std::uint16_t b_value16_1;  // swapped
  std::uint32_t b_value32_1;  // swapped
  std::uint32_t b_value32_2;  // swapped
  std::uint16_t b_value16_2;  // swapped
  std::uint8_t b_byte;
};

// One DC distribution unit, from 0xA4 info 0-218 copied then swapped.
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
