// The controller's wire, described once: the command bytes of a poll cycle,
// the info-byte size of every reply and, for every record the device keeps,
// a table of its fields with where each one stands in its reply and how its
// bytes are turned into the record's (copied, big-endian swapped, or
// tenths made into a float).
//
// Offsets in the rulers and tables count info bytes, the bytes a reply
// frame carries after its length word; record offsets count bytes of the
// packed record in device/records.h, which is what the snapshot image holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "device/records.h"

namespace hvr38qt::wire {

// ---------------------------------------------------------------------------
// Command bytes

// CID1 of every request and reply: the DC power system.
enum class Cid1 : std::uint8_t { kPowerSystem = 0x41 };

// CID2 of the requests of a poll cycle, in the order the cycle sends them.
enum class Cid2 : std::uint8_t {
  kAnalog = 0x42,        // output voltage and module currents
  kSwitch = 0x43,        // three state bytes per module
  kAlarmState = 0x44,    // one alarm state byte per module
  kModuleDetail = 0x8F,  // one module's detail, data byte 0: first, 1: next
  kExtras = 0x95,        // the 0x95 block
  kAcUnit = 0xA2,        // one AC unit, data byte: unit number from 1
  kDcUnit = 0xA4,        // one DC unit, data byte: unit number from 1
  kBlockA3 = 0xA3,       // the 0xA3 block
  kWord93 = 0x93,        // the 0x93 word
  kAlarmList1 = 0x9C,    // the alarm list, in four requests
  kAlarmList2 = 0x9D,
  kAlarmList3 = 0x9E,
  kAlarmList4 = 0x9F,
};

constexpr std::uint8_t code(Cid1 c) { return static_cast<std::uint8_t>(c); }
constexpr std::uint8_t code(Cid2 c) { return static_cast<std::uint8_t>(c); }

inline constexpr std::uint8_t kCid1 = code(Cid1::kPowerSystem);

// The k-th alarm-list request (0..3): kAlarmList1 + k.
constexpr Cid2 alarm_list_request(unsigned k) {
  return static_cast<Cid2>(code(Cid2::kAlarmList1) + k);
}

// Return code of a 0xA4 reply: the controller has no DC units.
inline constexpr std::uint8_t kRtnNoDcUnits = 4;
// Info byte 0 of a 0x8F reply: 0 more modules follow, 1 the last module,
// 2 no such module (a refusal, nothing else follows).
inline constexpr std::uint8_t kModuleDetailRefused = 2;

// ---------------------------------------------------------------------------
// Field tables

enum class Order : std::uint8_t {
  kRaw,      // copied as it stands
  kSwapped,  // a big-endian number of the field's width, stored in host order
  kTenths,   // a big-endian u16 on the wire, stored as a float of a tenth of it
  kLocal,    // not read from a reply: the device fills it itself
};

struct Field {
  std::string_view name;
  std::size_t offset;     // in the record
  std::size_t width;      // of one element in the record
  Order order;
  std::size_t wire;       // of the first element in its reply's info bytes
  std::size_t count = 1;  // elements, one after the other on both sides

  constexpr std::size_t size() const { return width * count; }
  // Bytes one element takes on the wire.
  constexpr std::size_t wire_width() const {
    return order == Order::kTenths ? 2 : order == Order::kLocal ? 0 : width;
  }
  constexpr std::size_t wire_end() const { return wire + wire_width() * count; }
};

// The info bytes a table reads: up to the end of its furthest field.
constexpr std::size_t wire_extent(std::span<const Field> fields) {
  std::size_t end = 0;
  for (const Field& f : fields)
    if (f.order != Order::kLocal && f.wire_end() > end) end = f.wire_end();
  return end;
}

// True when the tables, taken one after the other, lay out a record of
// `size` bytes exactly: each field starts where the previous one ended, the
// widths add up to the size, and every element's width fits its order.
template <class... Tables>
constexpr bool covers(std::size_t size, const Tables&... tables) {
  std::size_t next = 0;
  bool ok = true;
  auto walk = [&](std::span<const Field> t) {
    for (const Field& f : t) {
      if (f.offset != next || f.count == 0) ok = false;
      if (f.order == Order::kSwapped && f.width != 2 && f.width != 4) ok = false;
      if (f.order == Order::kTenths && f.width != sizeof(float)) ok = false;
      next += f.size();
    }
  };
  (walk(std::span<const Field>(tables)), ...);
  return ok && next == size;
}

// True when no two wire elements of a table overlap.
constexpr bool wire_disjoint(std::span<const Field> fields) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    for (std::size_t j = i + 1; j < fields.size(); ++j) {
      const Field& a = fields[i];
      const Field& b = fields[j];
      if (a.order == Order::kLocal || b.order == Order::kLocal) continue;
      if (a.wire < b.wire_end() && b.wire < a.wire_end()) return false;
    }
  return true;
}

// The field of a table by name, looked up while compiling: a name not in the
// table does not compile.
consteval const Field& field(std::span<const Field> fields, std::string_view name) {
  for (const Field& f : fields)
    if (f.name == name) return f;
  throw "no such field";
}

// --- Snapshot header (kept by the device; two fields from the 0x42 reply) ---
//
//  record 0         4               8   9                  16
//         |device_id|output_voltage |mc |time_stamp        |
//  0x42   info  0: change flag, 1-2: output voltage, 3: module count
inline constexpr std::array<Field, 4> kHeaderFields{{
    {"device_id", 0, 4, Order::kLocal, 0},
    {"output_voltage", 4, 4, Order::kTenths, 1},
    {"module_count", 8, 1, Order::kRaw, 3},
    {"time_stamp", 9, 1, Order::kLocal, 0, 7},
}};
static_assert(covers(sizeof(header_block), kHeaderFields));

// Info bytes of the 0x42 reply ahead of the module groups.
inline constexpr std::size_t kAnalogHeadBytes = 4;

// --- 0x95 block --------------------------------------------------------------
//
//  info   0    1    2        4
//         |st1 |st2 |value   |
inline constexpr std::array<Field, 3> kBlock95Fields{{
    {"ext_state_1", 0, 1, Order::kRaw, 0},
    {"ext_state_2", 1, 1, Order::kRaw, 1},
    {"ext_value", 2, 4, Order::kTenths, 2},
}};
static_assert(covers(sizeof(block_95), kBlock95Fields));
inline constexpr std::size_t kExtrasBytes = wire_extent(kBlock95Fields);
static_assert(kExtrasBytes == 4);

// --- Rectifier module ----------------------------------------------------------
//
// One record filled from four replies. 0x42, 0x43 and 0x44 carry one group
// per module, each closed by a count of extra bytes that follow it; the
// offsets of those tables count from the start of the module's group.
//
//  0x42 group   0        2     3
//               |current |n    | n extra bytes
//  0x43 group   0    1    2    3     4
//               |s1  |s2  |s3  |n    | n extra bytes
//  0x44 group   0    1     2
//               |al  |n    | n extra bytes
//
//  0x8F info    0     1   2           11   13   15   17   21   25   29      61
//               |last |no |status bits|v16 |v16 |v16 |v32 |v32 |v32 |extra  |
//  record             8   9           18   20   22   24   28   32   36      68
inline constexpr std::array<Field, 1> kModuleAnalogFields{{
    {"current", 0, 4, Order::kTenths, 0},
}};
inline constexpr std::array<Field, 3> kModuleSwitchFields{{
    {"state_1", 4, 1, Order::kRaw, 0},
    {"state_2", 5, 1, Order::kRaw, 1},
    {"state_3", 6, 1, Order::kRaw, 2},
}};
inline constexpr std::array<Field, 1> kModuleAlarmFields{{
    {"alarm_state", 7, 1, Order::kRaw, 0},
}};
inline constexpr std::array<Field, 9> kModuleDetailFields{{
    {"module_no", 8, 1, Order::kRaw, 1},
    {"status_bits", 9, 1, Order::kRaw, 2, 9},
    {"value16_1", 18, 2, Order::kSwapped, 11},
    {"value16_2", 20, 2, Order::kSwapped, 13},
    {"value16_3", 22, 2, Order::kSwapped, 15},
    {"value32_1", 24, 4, Order::kSwapped, 17},
    {"value32_2", 28, 4, Order::kSwapped, 21},
    {"value32_3", 32, 4, Order::kSwapped, 25},
    {"extra", 36, 32, Order::kRaw, 29},
}};
static_assert(covers(sizeof(tele_c_hvr38qt_rc_channel), kModuleAnalogFields, kModuleSwitchFields,
                     kModuleAlarmFields, kModuleDetailFields));
static_assert(wire_disjoint(kModuleDetailFields));
// A group's bytes ahead of its extra-byte count.
inline constexpr std::size_t kModuleAnalogGroup = wire_extent(kModuleAnalogFields);
inline constexpr std::size_t kModuleSwitchGroup = wire_extent(kModuleSwitchFields);
inline constexpr std::size_t kModuleAlarmGroup = wire_extent(kModuleAlarmFields);
// The last-module flag and the 60 bytes of the module's detail.
inline constexpr std::size_t kModuleDetailBytes = wire_extent(kModuleDetailFields);
static_assert(kModuleDetailBytes == 61);

// --- AC distribution unit (0xA2) ----------------------------------------------
//
//  info   0    2    4    6    8    10   12   14   16   18   20   22   24 25 26 27
//         |u_a |u_b |u_c |u2_a|u2_b|u2_c|v6  |v7  |v8  |v9  |freq|v11 |s1|s2|s3|
//  record 0    4    8    12   16   20   24   28   32   36   40   44   48 49 50 51
inline constexpr std::array<Field, 15> kAcUnitFields{{
    {"u_a", 0, 4, Order::kTenths, 0},
    {"u_b", 4, 4, Order::kTenths, 2},
    {"u_c", 8, 4, Order::kTenths, 4},
    {"u2_a", 12, 4, Order::kTenths, 6},
    {"u2_b", 16, 4, Order::kTenths, 8},
    {"u2_c", 20, 4, Order::kTenths, 10},
    {"value_6", 24, 4, Order::kTenths, 12},
    {"value_7", 28, 4, Order::kTenths, 14},
    {"value_8", 32, 4, Order::kTenths, 16},
    {"value_9", 36, 4, Order::kTenths, 18},
    {"frequency", 40, 4, Order::kTenths, 20},
    {"value_11", 44, 4, Order::kTenths, 22},
    {"status_1", 48, 1, Order::kRaw, 24},
    {"status_2", 49, 1, Order::kRaw, 25},
    {"status_3", 50, 1, Order::kRaw, 26},
}};
static_assert(covers(sizeof(hvr38qt_41_a2), kAcUnitFields));
static_assert(wire_disjoint(kAcUnitFields));
inline constexpr std::size_t kAcUnitBytes = wire_extent(kAcUnitFields);
static_assert(kAcUnitBytes == 27);
// The twelve tenths values lead the reply.
inline constexpr std::size_t kAcUnitValues = 12;

// --- DC distribution unit (0xA4) ----------------------------------------------
//
// The reply is the record byte for byte, its numbers big-endian.
//
//  info   0    2        6        10   11          24              219
//         |v16 |v32_1   |v32_2   |b   |branch 1   |... branch 16  |
//  branch 0    2        6        10   12   13
//         |v16 |v32_1   |v32_2   |v16 |b   |
inline constexpr std::array<Field, 4> kDcUnitHeadFields{{
    {"dc_value16", 0, 2, Order::kSwapped, 0},
    {"dc_value32_1", 2, 4, Order::kSwapped, 2},
    {"dc_value32_2", 6, 4, Order::kSwapped, 6},
    {"dc_byte", 10, 1, Order::kRaw, 10},
}};
inline constexpr std::array<Field, 5> kDcBranchFields{{
    {"b_value16_1", 0, 2, Order::kSwapped, 0},
    {"b_value32_1", 2, 4, Order::kSwapped, 2},
    {"b_value32_2", 6, 4, Order::kSwapped, 6},
    {"b_value16_2", 10, 2, Order::kSwapped, 10},
    {"b_byte", 12, 1, Order::kRaw, 12},
}};
inline constexpr std::size_t kDcBranches = sizeof(hvr38qt_41_a4::branch) / sizeof(dc_branch);
static_assert(covers(offsetof(hvr38qt_41_a4, branch), kDcUnitHeadFields));
static_assert(covers(sizeof(dc_branch), kDcBranchFields));
static_assert(wire_extent(kDcBranchFields) == sizeof(dc_branch));
inline constexpr std::size_t kDcUnitBytes = wire_extent(kDcUnitHeadFields) + kDcBranches * sizeof(dc_branch);
static_assert(kDcUnitBytes == sizeof(hvr38qt_41_a4) && kDcUnitBytes == 219);

// --- 0xA3 block ------------------------------------------------------------------
//
// Eight entries. The long reply carries them whole, the short one four
// values of each and nothing of the heads (left as they were).
//
//  long   0      4    6         18
//         |head  |v1  |... v7   |            x 8 = 144
//  short  0      4    6    12       16
//         |head  |v1  |... v4|(4 bytes) |    x 8 = 128
inline constexpr std::array<Field, 2> kA3EntryFields{{
    {"entry_head", 0, 1, Order::kRaw, 0, 4},
    {"entry_value", 4, 2, Order::kSwapped, 4, 7},
}};
inline constexpr std::array<Field, 1> kA3ShortEntryFields{{
    {"entry_value", 4, 2, Order::kSwapped, 4, 4},
}};
inline constexpr std::size_t kA3Entries = sizeof(block_a3::entry) / sizeof(a3_entry);
inline constexpr std::size_t kA3ShortEntryBytes = 16;
static_assert(covers(sizeof(a3_entry), kA3EntryFields));
static_assert(wire_extent(kA3EntryFields) == sizeof(a3_entry));
static_assert(wire_extent(kA3ShortEntryFields) <= kA3ShortEntryBytes);
inline constexpr std::size_t kBlockA3Bytes = kA3Entries * sizeof(a3_entry);
inline constexpr std::size_t kBlockA3ShortBytes = kA3Entries * kA3ShortEntryBytes;
static_assert(kBlockA3Bytes == 144 && kBlockA3ShortBytes == 128);

// --- 0x93 word -----------------------------------------------------------------
//
//  info   0      2
//         |word  |   a signed big-endian 16-bit number; the length word says
//                    4, or 5 with one more hex digit behind it
inline constexpr std::size_t kWord93Bytes = 2;
inline constexpr unsigned kWord93Length = 2 * kWord93Bytes;

// --- Alarm list (0x9C..0x9F) ------------------------------------------------------
//
//  0x9C   0      1      5          201
//         |count |item 1|... item 50|
//  0x9D, 0x9E: items 51-100, 101-150; 0x9F: every item left (up to 105)
//  item   0     1         2      4
//         |unit |category |code  |   code big-endian: copied as it is, the
//                                   snapshot step turns it into host order
//                                   (the image holds it so)
inline constexpr std::array<Field, 3> kAlarmItemFields{{
    {"unit", 0, 1, Order::kRaw, 0},
    {"category", 1, 1, Order::kRaw, 1},
    {"code", 2, 2, Order::kRaw, 2},
}};
static_assert(covers(sizeof(alarm_item), kAlarmItemFields));
inline constexpr std::size_t kAlarmEntryBytes = wire_extent(kAlarmItemFields);
static_assert(kAlarmEntryBytes == 4);
inline constexpr unsigned kAlarmsPerPart = 50;
inline constexpr unsigned kAlarmListRequests = 4;
// Info byte 0 of the first part: the number of alarms, one byte.
inline constexpr std::size_t kMaxAlarms = 255;

// ---------------------------------------------------------------------------
// The walker

// Fills the fields of `record` from the info bytes at `wire`, converting each
// by its order. The caller has checked that `wire` holds wire_extent(fields)
// bytes; kLocal fields are left as they are.
inline void read_fields(std::span<const Field> fields, const std::uint8_t* wire, void* record) {
  auto* out = static_cast<std::uint8_t*>(record);
  for (const Field& f : fields) {
    for (std::size_t i = 0; i < f.count; ++i) {
      const std::uint8_t* src = wire + f.wire + i * f.wire_width();
      std::uint8_t* dst = out + f.offset + i * f.width;
      switch (f.order) {
        case Order::kRaw: std::memcpy(dst, src, f.width); break;
        case Order::kSwapped:
          if (f.width == 2) {
            const std::uint16_t v = be16(src);
            std::memcpy(dst, &v, 2);
          } else {
            const std::uint32_t v = be32(src);
            std::memcpy(dst, &v, 4);
          }
          break;
        case Order::kTenths: {
          const float v = tenths(src);
          std::memcpy(dst, &v, 4);
          break;
        }
        case Order::kLocal: break;
      }
    }
  }
}

// Writes one element of a field into a reply's info bytes, big-endian as
// the controller sends it: the number itself for kRaw and kSwapped, the
// tenths for kTenths (the caller rounds). `wire` holds wire_extent bytes.
inline void put_field(const Field& f, std::uint8_t* wire, std::uint32_t value, std::size_t element = 0) {
  std::uint8_t* p = wire + f.wire + element * f.wire_width();
  const std::size_t n = f.wire_width();
  for (std::size_t i = 0; i < n; ++i)
    p[i] = static_cast<std::uint8_t>(value >> (8 * (n - 1 - i)));
}

}  // namespace hvr38qt::wire
