// The site's history in one SQLite database (WAL mode): snapshots and alarm
// rows, written by one writer thread fed by a bounded queue, so that device
// threads never wait on the disk. Reads go through a connection of their
// own.
//
// Tables (a contract other tools read):
//   snapshots(device_id INTEGER, taken_at TEXT, type INTEGER, data BLOB)
//   alarms(device_id INTEGER, key TEXT, nm_id TEXT, seq INTEGER, kind INTEGER,
//          name TEXT, desc TEXT, raised_at TEXT, cleared_at TEXT)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "site_types.h"

namespace krthost::site {

// A database that cannot be opened or set up; the text names the file.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Retention {
  int keep_days = 30;                         // rows older than this go
  std::int64_t max_rows_per_device = 100000;  // beyond this the oldest go
};

struct StoredSnapshot {
  std::string taken_at;
  int type = 0;
  std::vector<unsigned char> data;
};

struct StoreStats {
  std::uint64_t rows_written = 0;  // snapshot rows committed
  std::uint64_t errors = 0;        // failed database writes (statements or commits)
  std::uint64_t dropped = 0;       // writes refused because the queue was full
  std::size_t queue_depth = 0;
  std::map<std::uint32_t, std::uint64_t> rows_by_device;  // committed in this process
};

class HistoryStore {
 public:
  using LogFn = std::function<void(const std::string&)>;
  using Committed = std::function<void()>;

  // Opens or creates the database and its tables and starts the writer.
  // Throws StoreError. `log` gets the writer's failures, each kind at most
  // once a minute.
  HistoryStore(const std::string& path, Retention retention, LogFn log,
               std::size_t queue_limit = 10000);
  // Writes what is queued (for at most a few seconds) and stops the writer.
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Start-up reads.
  std::optional<StoredSnapshot> NewestSnapshot(std::uint32_t device_id) const;
  std::vector<AlarmInstance> ActiveAlarms(std::uint32_t device_id) const;

  // Queued writes: they never wait on the disk. False when the queue is
  // full (the write is dropped and counted). `on_commit` runs on the writer
  // thread after the row's transaction committed.
  bool SaveSnapshot(std::uint32_t device_id, std::string taken_at, int type,
                    std::vector<unsigned char> data, Committed on_commit = {});
  // The same for an image the caller shares (it is not copied).
  bool SaveSnapshot(std::uint32_t device_id, std::string taken_at, int type,
                    std::shared_ptr<const std::vector<unsigned char>> data, Committed on_commit = {});
  bool RaiseAlarm(const AlarmInstance& alarm);
  bool ClearAlarm(std::uint32_t device_id, const std::string& key, const std::string& desc,
                  const std::string& cleared_at);
  // The same for an instance the caller shares (its texts are not copied);
  // a clear takes the device, key, desc and cleared_at of the instance.
  // False without an instance too.
  bool RaiseAlarm(std::shared_ptr<const AlarmInstance> alarm);
  bool ClearAlarm(std::shared_ptr<const AlarmInstance> cleared);

  // Waits until every queued write is done or failed, at most `timeout_ms`.
  // True when the queue is empty.
  bool Flush(int timeout_ms);

  // Reads for the northbound parts. Alarms newest first (by raised_at);
  // no device: all devices. Snapshots oldest first, taken at or after
  // `since` (ISO local time; empty: from the start), at most `limit`.
  std::vector<AlarmInstance> QueryAlarms(std::optional<std::uint32_t> device_id, bool active_only,
                                         int limit) const;
  std::vector<StoredSnapshot> SnapshotsSince(std::uint32_t device_id, const std::string& since,
                                             int limit) const;

  StoreStats Stats() const;
  // Stats().queue_depth alone, without copying the counts by device.
  std::size_t QueueDepth() const;
  const std::string& Path() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace krthost::site
