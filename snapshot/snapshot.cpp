// The snapshot image. The buffer is sized once by the device; the image is
// always the layout cut at the end of the buffer: when more units, modules
// or alarm items exist than the buffer was sized for, what lies past its end
// is dropped and the buffer keeps the size the history already holds.
#include "snapshot/snapshot.h"

#include <algorithm>
#include <cstring>

namespace hvr38qt::snapshot {

namespace {

// Appends byte ranges to a fixed buffer, never past its end.
class BoundedWriter {
 public:
  explicit BoundedWriter(std::span<unsigned char> out) : out_(out) {}
  void put(const void* src, std::size_t n) {
    const std::size_t take = std::min(n, room());
    if (take > 0) std::memcpy(out_.data() + pos_, src, take);
    pos_ += take;
  }
  std::size_t room() const { return out_.size() - pos_; }

 private:
  std::span<unsigned char> out_;
  std::size_t pos_ = 0;
};

constexpr std::size_t kAlarmRoom = 800;  // 200 items of 4 bytes

}  // namespace

std::size_t image_size(const DeviceView& view) {
  return view.ac_units.size() * sizeof(hvr38qt_41_a2) +
         view.dc_units.size() * sizeof(hvr38qt_41_a4) +
         view.header.module_count * sizeof(tele_c_hvr38qt_rc_channel) + sizeof(header_block) +
         sizeof(block_95) + sizeof(block_a3) + sizeof(view.word93) + kAlarmRoom;
}

void serialise(const DeviceView& view, std::span<unsigned char> image) {
  BoundedWriter w(image);
  w.put(&view.header, sizeof view.header);
  w.put(view.ac_units.data(), view.ac_units.size_bytes());
  w.put(view.dc_units.data(), view.dc_units.size_bytes());
  w.put(&view.block95, sizeof view.block95);
  w.put(view.modules.data(), view.modules.size_bytes());
  w.put(&view.blocka3, sizeof view.blocka3);
  w.put(&view.word93, sizeof view.word93);
  // Whole items only: an item cut in half would read as a wrong alarm.
  const std::size_t fit = std::min(view.alarms.size(), w.room() / sizeof(alarm_item));
  w.put(view.alarms.data(), fit * sizeof(alarm_item));
}

}  // namespace hvr38qt::snapshot
