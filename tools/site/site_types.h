// What the site host knows about its devices and alarms, as plain values
// that threads hand to each other: the status record each device publishes
// after every poll, alarm instances and their raise and clear events.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace krthost::site {

using SysClock = std::chrono::system_clock;

// ISO 8601 local time with milliseconds: "2026-12-09T10:15:02.123".
std::string IsoLocal(SysClock::time_point t);

// Names the calling thread (at most 15 bytes are kept), so that `top -H`,
// gdb and /proc tell the site host's threads apart.
void NameThisThread(std::string_view name);

// Poll outcome names as the site host counts and shows them.
inline constexpr std::array<std::string_view, 6> kOutcomeNames = {
    "complete", "unchanged", "failed", "timeout", "line_lost", "line_down"};

// Poll counts by outcome name: a slot for each kOutcomeNames entry and one
// for any other name, counted but not shown. A fixed array: the status
// record is copied at every poll.
class OutcomeCounts {
 public:
  std::uint64_t& operator[](std::string_view name) { return n_[IndexOf(name)]; }
  std::uint64_t Get(std::string_view name) const { return n_[IndexOf(name)]; }

 private:
  static std::size_t IndexOf(std::string_view name) {
    std::size_t i = 0;
    while (i < kOutcomeNames.size() && kOutcomeNames[i] != name) ++i;
    return i;
  }
  std::array<std::uint64_t, kOutcomeNames.size() + 1> n_{};
};

// One alarm instance: identified by (device_id, key, desc).
struct AlarmInstance {
  std::uint32_t device_id = 0;
  std::string key, nm_id;
  int seq = 0;
  int kind = 0;
  std::string name, desc;
  std::string raised_at;   // ISO local time
  std::string cleared_at;  // empty while active
};

// The host's own alarm of a device that stopped answering.
inline constexpr std::string_view kCommLostKey = "krthost_comm_lost";
inline constexpr int kCommLostKind = 2;
inline constexpr std::string_view kCommLostName = "通信中断";

// Reads a list of records by position: `list.at(i)` for i in [0, size).
template <class List, class T>
class IndexIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = const T*;
  using reference = const T&;
  IndexIterator() = default;
  IndexIterator(const List* list, std::size_t i) : list_(list), i_(i) {}
  reference operator*() const { return list_->at(i_); }
  pointer operator->() const { return &list_->at(i_); }
  IndexIterator& operator++() {
    ++i_;
    return *this;
  }
  IndexIterator operator++(int) {
    auto old = *this;
    ++i_;
    return old;
  }
  bool operator==(const IndexIterator& o) const { return i_ == o.i_; }

 private:
  const List* list_ = nullptr;
  std::size_t i_ = 0;
};

// A device's active alarms as its status records hold them: shared and
// never changed, since a record is copied after every poll and the alarms
// change only with a raise or a clear; the instances themselves are shared
// with the tracker, so a new list after a raise copies pointers. Reads like
// a vector of instances.
class AlarmList {
 public:
  using Slots = std::vector<std::shared_ptr<const AlarmInstance>>;
  using const_iterator = IndexIterator<AlarmList, AlarmInstance>;
  AlarmList() = default;
  AlarmList(Slots slots)  // NOLINT: implicit, assigned from the tracker's list
      : slots_(slots.empty() ? nullptr : std::make_shared<const Slots>(std::move(slots))) {}
  AlarmList(const std::vector<AlarmInstance>& items)  // NOLINT: implicit, assigned from a vector
      : AlarmList(share(items)) {}
  AlarmList(std::initializer_list<AlarmInstance> items) : AlarmList(std::vector<AlarmInstance>(items)) {}

  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }
  const AlarmInstance& at(std::size_t i) const { return *slots()[i]; }
  std::size_t size() const { return slots().size(); }
  bool empty() const { return slots().empty(); }
  // The same list, not merely equal items.
  bool SameAs(const AlarmList& other) const { return slots_ == other.slots_; }

 private:
  static Slots share(const std::vector<AlarmInstance>& items) {
    Slots out;
    out.reserve(items.size());
    for (const auto& a : items) out.push_back(std::make_shared<const AlarmInstance>(a));
    return out;
  }
  const Slots& slots() const { return slots_ ? *slots_ : kNone; }
  static inline const Slots kNone{};
  std::shared_ptr<const Slots> slots_;
};

struct AlarmEvent {
  bool raised = true;  // false: cleared
  std::string device;  // the device's name in the site file
  // The instance as raised, or as cleared (with cleared_at). Shared with
  // the tracker and the store's queue: an event copies no texts.
  std::shared_ptr<const AlarmInstance> instance;
  std::string time;    // when it was raised or cleared (ISO local time)

  const AlarmInstance& alarm() const { return instance ? *instance : kNoInstance; }

 private:
  static inline const AlarmInstance kNoInstance{};
};

// One poll as the device's status keeps it.
struct PollRecord {
  std::string time;     // when the poll started (ISO local time)
  std::string outcome;  // one of kOutcomeNames, or "interrupted"
  long duration_ms = 0;
  int state = -1;
  int protocol_errors = 0;
  int timeouts = 0;
  std::string error;    // the line's error, the last protocol error kind
};

// Upper bounds (seconds) of the poll-duration histogram; +Inf follows.
inline constexpr std::array<double, 12> kDurationBuckets = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                            1.0,  2.5,   5.0,  10.0, 30.0, 60.0};
inline constexpr std::size_t kRecentPolls = 20;

// The last polls, oldest first, at most kRecentPolls. A status record is
// copied after every poll, so the copies share the records: they lie in
// blocks of kRecentPolls slots that the device's own list fills in turn,
// and a copy reads the slots that were filled when it was made (the newest
// block's first `used_`, the rest from the block before). The device's list
// writes only slots that no copy reads, and takes a block back for filling
// once no copy holds it: a poll costs no allocation and a copy two block
// pointers, not one pointer per record.
class RecentPolls {
  struct Block {
    std::array<PollRecord, kRecentPolls> slots;
  };

 public:
  using const_iterator = IndexIterator<RecentPolls, PollRecord>;

  // The slot of the next poll, to be filled now: it is the newest record
  // from here on. Its texts keep the capacity of the record that was there.
  PollRecord& Next();
  void Push(const PollRecord& record) { Next() = record; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }
  std::size_t size() const { return older_count() + used_; }
  bool empty() const { return size() == 0; }
  const PollRecord& back() const { return at(size() - 1); }
  const PollRecord& at(std::size_t i) const {
    const std::size_t older = older_count();
    return i < older ? older_block_->slots[used_ + i] : block_->slots[i - older];
  }

 private:
  // Records from the block before the newest: those the newest has not
  // replaced yet.
  std::size_t older_count() const { return older_block_ ? kRecentPolls - used_ : 0; }

  std::shared_ptr<Block> block_, older_block_;
  std::size_t used_ = 0;  // slots of block_ filled as this list sees them
};

// A device's state after a poll. Published as an immutable record: readers
// on other threads never touch the device.
struct DeviceStatus {
  std::uint32_t id = 0;
  std::string name;
  std::string line;             // "tcp HOST:PORT", "serial PATH", "simulator", ...
  std::string outcome;          // of the last poll; "" before the first
  int state = -1;               // the device's poll state (-1: unknown)
  int data_ready = 0;
  bool up = false;              // the last poll completed or stopped unchanged
  bool comm_lost = false;       // the comm-lost alarm is active
  bool restored = false;        // data from the cache, no completed poll yet
  std::string restored_at;      // the restored row's time
  std::string last_poll;        // ISO local time, "" before the first
  std::string last_complete;    // ISO local time, "" before the first
  double last_complete_unix = 0;  // Unix time of last_complete, 0: none
  long last_duration_ms = 0;
  std::uint64_t polls = 0;
  OutcomeCounts outcomes;
  std::map<std::string, std::uint64_t> protocol_errors;  // by error kind name
  std::uint64_t timeouts = 0;
  // Answered value queries of the last completed poll, in query order;
  // empty before the first completed poll in this process.
  std::vector<std::pair<std::string, double>> values;
  AlarmList active_alarms;  // in the order they were raised
  std::array<std::uint64_t, kDurationBuckets.size() + 1> duration_buckets{};  // not cumulative
  double duration_sum_s = 0;
  RecentPolls recent;
  // The latest snapshot image (published in this process or restored).
  std::shared_ptr<const std::vector<unsigned char>> snapshot;
  std::string snapshot_at;
  SysClock::time_point published{};  // when this record was made
  // The device's AC and DC unit counts (decode::UnitCounts of its
  // configuration): the snapshot image does not hold them.
  unsigned ac_units = 1;
  unsigned dc_units = 1;
};

// Seconds since the last completed poll (or the restored row); negative
// when there is no data.
double DataAgeSeconds(const DeviceStatus& status, SysClock::time_point now);

// The latest status of every running device, read by the northbound parts.
class StatusBoard {
 public:
  void Publish(std::shared_ptr<const DeviceStatus> status);
  void Remove(std::uint32_t id);
  // By device id.
  std::vector<std::shared_ptr<const DeviceStatus>> All() const;
  std::shared_ptr<const DeviceStatus> Find(std::string_view name) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<const DeviceStatus>> devices_;
};

// Receives what happens on the site. Called on the poll threads, in order
// for each device (its steps never overlap, whichever thread runs them): an
// implementation must not block (it queues).
class SiteSink {
 public:
  virtual ~SiteSink() = default;
  // After every poll; `changed` when outcome, up, comm_lost or restored
  // differ from the previous record of the device (or it is the first).
  virtual void OnStatus(const std::shared_ptr<const DeviceStatus>& status, bool changed) = 0;
  virtual void OnAlarm(const AlarmEvent& event) = 0;
  // The raises and clears of one poll, in order: OnAlarm for each unless
  // the sink does better with them at once.
  virtual void OnAlarms(const std::vector<AlarmEvent>& events) {
    for (const AlarmEvent& e : events) OnAlarm(e);
  }
  // The device left the site (SIGHUP) or the host is stopping.
  virtual void OnDeviceRemoved(const std::string& name) = 0;
};

}  // namespace krthost::site
