// What the device calls at the end of every poll cycle but does not build
// itself: the snapshot layout and the rule sets. They are built on top of
// the device (they read it through a DeviceView), so the device holds them
// as hooks that the plug-in's assembly point fills in when it creates the
// device; the device itself never links against them.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "device/view.h"

class KRTController;

namespace hvr38qt {

// The rule sets of one device, with the working memory they reuse from one
// evaluation to the next.
class RuleSet {
 public:
  virtual ~RuleSet() = default;
  // Runs the rule set of the view's mode. `host` is the locked controller,
  // or null when it is gone: what the rule set does besides reporting still
  // happens then.
  virtual void evaluate(const DeviceView& view, KRTController* host) = 0;
};

struct DeviceParts {
  // Bytes of the snapshot buffer, sized once from the first cycle's records.
  std::size_t (*snapshot_size)(const DeviceView& view) = nullptr;
  // Writes the snapshot image into `image`, cut at its end.
  void (*serialise)(const DeviceView& view, std::span<unsigned char> image) = nullptr;
  // A new rule set for one device.
  std::unique_ptr<RuleSet> (*make_rule_set)() = nullptr;

  bool complete() const {
    return snapshot_size != nullptr && serialise != nullptr && make_rule_set != nullptr;
  }
};

}  // namespace hvr38qt
