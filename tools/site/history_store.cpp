#include "history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>

namespace krthost::site {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxBlob = 1 << 20;        // a snapshot image larger than this is refused or skipped
constexpr int kMaxText = 64 * 1024;      // a text column longer than this is skipped
constexpr std::size_t kBatch = 500;      // writes per transaction
// Commits at most this often: a write that comes sooner after the last
// commit waits with those that follow it, so a busy site syncs about ten
// times a second instead of once per write, and a quiet one at once.
constexpr auto kGather = 100ms;
constexpr int kRetentionChunk = 500;     // rows deleted per statement
// A retention pass stops after this long (the writer writes nothing while
// it runs); what is left goes in the next pass.
constexpr auto kRetentionBudget = 250ms;
constexpr auto kRetentionSoon = 1s;      // the next pass after one that ran out of time
constexpr auto kRetry = 1s;              // back-off after a failed batch
constexpr auto kRetentionEvery = 60s;
constexpr auto kDrainFor = 3s;           // the destructor's budget
constexpr auto kLogEvery = 60s;          // per kind of failure
constexpr int kBusyMs = 1000;

class SqlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

std::string Message(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string m = err ? err : Message(db);
    sqlite3_free(err);
    throw SqlError(m);
  }
}

Stmt Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    throw SqlError(Message(db));
  }
  return Stmt(s);
}

// Runs a statement that returns no rows, then makes it ready for the next use.
void Run(sqlite3* db, sqlite3_stmt* s) {
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw SqlError(Message(db));
}

// Binds without a copy: every caller's text outlives the statement's run
// (Run resets the statement before it returns; a query is finalized before
// its text goes).
void BindText(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
}

// The file behind a path: the writer and the reader reopen when the file
// they hold was removed or replaced.
struct FileId {
  bool ok = false;
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};
FileId IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

struct Conn {
  Db db;
  FileId id;
  Stmt ins_snapshot, ins_alarm, clear_alarm;
};

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS snapshots(id INTEGER PRIMARY KEY, device_id INTEGER, taken_at TEXT,
                                     type INTEGER, data BLOB);
CREATE TABLE IF NOT EXISTS alarms(id INTEGER PRIMARY KEY, device_id INTEGER, key TEXT, nm_id TEXT,
                                  seq INTEGER, kind INTEGER, name TEXT, desc TEXT,
                                  raised_at TEXT, cleared_at TEXT);
CREATE INDEX IF NOT EXISTS snapshots_by_device ON snapshots(device_id, taken_at);
CREATE INDEX IF NOT EXISTS alarms_active ON alarms(device_id, key, desc) WHERE cleared_at IS NULL;
CREATE INDEX IF NOT EXISTS alarms_by_time ON alarms(raised_at);
)";

// Opens the database for the writer (creating file, directory and tables) or
// for reading (an existing file only). Throws SqlError.
Conn Open(const std::string& path, bool writer) {
  Conn c;
  if (writer) {
    const auto dir = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::create_directories(dir, ec);
    if (ec) throw SqlError("cannot create directory " + dir.string() + ": " + ec.message());
  }
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (writer ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  c.db.reset(raw);
  if (rc != SQLITE_OK) throw SqlError(Message(raw));
  sqlite3_busy_timeout(raw, kBusyMs);
  sqlite3_extended_result_codes(raw, 1);
  if (writer) {
    // A new database gets pages of 16 KiB: in a new table the writer takes
    // less time per row than with 4 KiB pages, in a grown one about as
    // much. An existing database keeps its page size.
    Exec(raw, "PRAGMA page_size=16384");
    // Each device's newest index entries lie on a page of their own once
    // the table has grown, so each row makes that page dirty again. A
    // checkpoint every 10,000 log pages instead of 1,000 copies such a page
    // into the database once for several of its rows: in a grown table the
    // writer takes about a seventh less time per row. The log grows to
    // about 160 MiB before it is reused.
    Exec(raw, "PRAGMA wal_autocheckpoint=10000");
    // WAL keeps readers off the writer's back; FULL syncs the log at every
    // commit (one sync per batch), so a committed batch survives power loss too.
    Stmt mode = Prepare(raw, "PRAGMA journal_mode=WAL");
    if (sqlite3_step(mode.get()) != SQLITE_ROW) throw SqlError(Message(raw));
    const auto* m = sqlite3_column_text(mode.get(), 0);
    if (!m || std::string(reinterpret_cast<const char*>(m)) != "wal")
      throw SqlError("cannot switch to WAL mode");
    mode.reset();
    Exec(raw, "PRAGMA synchronous=FULL");
    Exec(raw, kSchema);
    c.ins_snapshot =
        Prepare(raw, "INSERT INTO snapshots(device_id, taken_at, type, data) VALUES(?,?,?,?)");
    c.ins_alarm = Prepare(raw,
                          "INSERT INTO alarms(device_id, key, nm_id, seq, kind, name, desc, "
                          "raised_at, cleared_at) VALUES(?,?,?,?,?,?,?,?,NULL)");
    c.clear_alarm = Prepare(raw,
                            "UPDATE alarms SET cleared_at=? WHERE device_id=? AND key=? AND "
                            "desc=? AND cleared_at IS NULL");
  } else {
    Exec(raw, "PRAGMA query_only=1");
  }
  c.id = IdOf(path);
  return c;
}

// Column readers for untrusted rows: false when the type or size is wrong.
bool ReadInt(sqlite3_stmt* s, int col, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
  if (sqlite3_column_type(s, col) != SQLITE_INTEGER) return false;
  out = sqlite3_column_int64(s, col);
  return out >= lo && out <= hi;
}
bool ReadText(sqlite3_stmt* s, int col, bool null_ok, std::string& out) {
  const int type = sqlite3_column_type(s, col);
  if (type == SQLITE_NULL && null_ok) {
    out.clear();
    return true;
  }
  if (type != SQLITE_TEXT) return false;
  const auto* p = sqlite3_column_text(s, col);
  const int n = sqlite3_column_bytes(s, col);
  if (!p || n < 0 || n > kMaxText) return false;
  out.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
  return true;
}

// Columns: taken_at, type, data.
std::optional<StoredSnapshot> SnapshotRow(sqlite3_stmt* s) {
  StoredSnapshot snap;
  std::int64_t type = 0;
  if (!ReadText(s, 0, false, snap.taken_at) ||
      !ReadInt(s, 1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), type) ||
      sqlite3_column_type(s, 2) != SQLITE_BLOB)
    return std::nullopt;
  const int n = sqlite3_column_bytes(s, 2);
  const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 2));
  if (n < 0 || n > kMaxBlob || (n > 0 && !p)) return std::nullopt;
  snap.type = static_cast<int>(type);
  if (n > 0) snap.data.assign(p, p + n);
  return snap;
}

constexpr const char* kAlarmColumns =
    "SELECT device_id, key, nm_id, seq, kind, name, desc, raised_at, cleared_at FROM alarms ";

std::optional<AlarmInstance> AlarmRow(sqlite3_stmt* s) {
  AlarmInstance a;
  std::int64_t id = 0, seq = 0, kind = 0;
  constexpr auto kIntMin = std::numeric_limits<int>::min();
  constexpr auto kIntMax = std::numeric_limits<int>::max();
  if (!ReadInt(s, 0, 0, std::numeric_limits<std::uint32_t>::max(), id) ||
      !ReadText(s, 1, false, a.key) || !ReadText(s, 2, true, a.nm_id) ||
      !ReadInt(s, 3, kIntMin, kIntMax, seq) || !ReadInt(s, 4, kIntMin, kIntMax, kind) ||
      !ReadText(s, 5, true, a.name) || !ReadText(s, 6, false, a.desc) ||
      !ReadText(s, 7, false, a.raised_at) || !ReadText(s, 8, true, a.cleared_at))
    return std::nullopt;
  a.device_id = static_cast<std::uint32_t>(id);
  a.seq = static_cast<int>(seq);
  a.kind = static_cast<int>(kind);
  return a;
}

struct Op {
  enum Kind { kSnapshot, kRaise, kClear } kind = kSnapshot;
  std::uint32_t device_id = 0;
  std::string time;  // taken_at
  int type = 0;
  // Shared with the device's status record: a snapshot is not copied again
  // on its way to the database.
  std::shared_ptr<const std::vector<unsigned char>> data;
  HistoryStore::Committed on_commit;
  // Raise: the row; clear: device, key, desc and cleared_at.
  std::shared_ptr<const AlarmInstance> alarm;
};

}  // namespace

struct HistoryStore::Impl {
  std::string path;
  Retention retention;
  LogFn log;
  std::size_t queue_limit;

  // Queue, counters and the writer's state, under `mu`.
  mutable std::mutex mu;
  std::condition_variable wake;     // the writer: work or stop
  std::condition_variable settled;  // Flush: a batch was written or failed
  std::deque<Op> queue;
  std::size_t in_batch = 0;  // taken by the writer, not yet committed
  std::uint64_t failed_batches = 0;
  bool stopping = false;
  Clock::time_point deadline{};
  StoreStats stats;

  // The writer thread's own.
  Conn writer;
  std::map<std::string, Clock::time_point> last_log;
  bool failing = false;
  Clock::time_point next_retention{};
  // Snapshot rows per device, for the devices counted since the writer's
  // connection opened: kept up to date with every commit and deletion, so
  // that retention never counts the whole table.
  std::map<std::uint32_t, std::int64_t> row_counts;
  std::uint32_t prune_from = 0;  // the device the next retention pass starts at

  mutable std::mutex read_mu;
  mutable Conn reader;

  std::thread thread;

  void Log(const std::string& kind, const std::string& text) {
    const auto now = Clock::now();
    auto it = last_log.find(kind);
    if (it != last_log.end() && now - it->second < kLogEvery) return;
    last_log[kind] = now;
    if (log) log("history " + path + ": " + text);
  }
  void CountError() {
    std::lock_guard lk(mu);
    ++stats.errors;
  }

  // The writer's connection, reopened when the file was removed or replaced
  // (SQLite would go on writing into the unlinked file) or after a failure.
  bool EnsureWriter() {
    if (writer.db && IdOf(path) == writer.id) return true;
    writer = Conn{};  // a removed or replaced file: start on the one now at the path
    row_counts.clear();
    try {
      writer = Open(path, true);
      return true;
    } catch (const SqlError& e) {
      writer = Conn{};
      CountError();
      Log("open", std::string("cannot open: ") + e.what() + " (retrying)");
      return false;
    }
  }

  bool Write(std::vector<Op>& batch) {
    if (!EnsureWriter()) return false;
    sqlite3* db = writer.db.get();
    try {
      Exec(db, "BEGIN IMMEDIATE");
      for (const Op& op : batch) {
        if (op.kind == Op::kSnapshot) {
          sqlite3_stmt* s = writer.ins_snapshot.get();
          sqlite3_bind_int64(s, 1, op.device_id);
          BindText(s, 2, op.time);
          sqlite3_bind_int(s, 3, op.type);
          if (!op.data || op.data->empty())
            sqlite3_bind_zeroblob(s, 4, 0);  // a null pointer would store NULL
          else
            sqlite3_bind_blob(s, 4, op.data->data(), static_cast<int>(op.data->size()),
                              SQLITE_STATIC);
          Run(db, s);
        } else if (op.kind == Op::kRaise) {
          const AlarmInstance& a = *op.alarm;
          sqlite3_stmt* s = writer.ins_alarm.get();
          sqlite3_bind_int64(s, 1, op.device_id);
          BindText(s, 2, a.key);
          BindText(s, 3, a.nm_id);
          sqlite3_bind_int(s, 4, a.seq);
          sqlite3_bind_int(s, 5, a.kind);
          BindText(s, 6, a.name);
          BindText(s, 7, a.desc);
          BindText(s, 8, a.raised_at);
          Run(db, s);
        } else {
          const AlarmInstance& a = *op.alarm;
          sqlite3_stmt* s = writer.clear_alarm.get();
          BindText(s, 1, a.cleared_at);
          sqlite3_bind_int64(s, 2, op.device_id);
          BindText(s, 3, a.key);
          BindText(s, 4, a.desc);
          Run(db, s);
        }
      }
      Exec(db, "COMMIT");
    } catch (const SqlError& e) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      writer = Conn{};
      CountError();
      Log("write", std::string("write failed: ") + e.what() + "; " +
                       std::to_string(batch.size()) + " writes kept for a retry");
      return false;
    }
    {
      std::lock_guard lk(mu);
      for (const Op& op : batch) {
        if (op.kind != Op::kSnapshot) continue;
        ++stats.rows_written;
        ++stats.rows_by_device[op.device_id];
      }
    }
    for (const Op& op : batch)
      if (op.kind == Op::kSnapshot)
        if (auto it = row_counts.find(op.device_id); it != row_counts.end()) ++it->second;
    if (failing) {
      failing = false;
      if (log) log("history " + path + ": writing again");
    }
    for (Op& op : batch)
      if (op.on_commit) op.on_commit();
    return true;
  }

  // The device ids that have snapshot rows, ascending: one index seek per
  // device instead of a scan of the table. Rows whose device_id is not an
  // integer of a device's range belong to no device of the site and are
  // left out.
  std::vector<std::uint32_t> StoredDevices(sqlite3* db) {
    Stmt next = Prepare(db,
                        "SELECT device_id FROM snapshots WHERE device_id > ? AND "
                        "typeof(device_id) = 'integer' ORDER BY device_id LIMIT 1");
    std::vector<std::uint32_t> out;
    std::int64_t after = -1;
    for (;;) {
      sqlite3_bind_int64(next.get(), 1, after);
      const int rc = sqlite3_step(next.get());
      std::int64_t id = 0;
      const bool row = rc == SQLITE_ROW && ReadInt(next.get(), 0, after + 1,
                                                   std::numeric_limits<std::uint32_t>::max(), id);
      sqlite3_reset(next.get());
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw SqlError(Message(db));
      if (!row) return out;
      out.push_back(static_cast<std::uint32_t>(id));
      after = id;
    }
  }

  // Runs a DELETE in chunks until it deletes less than a chunk or the pass's
  // time is up; `bind(s, deleted)` binds the next chunk and gives its size
  // (0: done). The rows deleted.
  template <class Bind>
  std::int64_t DeleteInChunks(sqlite3* db, sqlite3_stmt* s, Clock::time_point until, Bind bind) {
    std::int64_t deleted = 0;
    for (;;) {
      const int chunk = bind(s, deleted);
      if (chunk <= 0) return deleted;
      Run(db, s);
      const int n = sqlite3_changes(db);
      deleted += n;
      if (n < chunk || Clock::now() >= until) return deleted;
    }
  }

  // Deletes old rows, device by device along the (device_id, taken_at)
  // index, so that a pass costs what it deletes rather than the size of the
  // table; each device's count is taken once and then kept. A pass stops
  // when its time is up: the next one comes soon and goes on from the
  // device where it stopped.
  void Prune() {
    next_retention = Clock::now() + kRetentionEvery;
    const auto until = Clock::now() + kRetentionBudget;
    if (!EnsureWriter()) return;
    sqlite3* db = writer.db.get();
    try {
      std::vector<std::uint32_t> devices = StoredDevices(db);
      // From the device the last pass stopped at, round to the one before.
      std::rotate(devices.begin(), std::lower_bound(devices.begin(), devices.end(), prune_from),
                  devices.end());
      const bool by_age = retention.keep_days > 0;
      const int days = std::min(retention.keep_days, 36500);  // stays inside the clock's range
      const std::string cutoff = by_age ? IsoLocal(SysClock::now() - std::chrono::hours(24) * days) : "";
      Stmt old = Prepare(db,
                         "DELETE FROM snapshots WHERE rowid IN (SELECT rowid FROM snapshots "
                         "WHERE device_id = ?1 AND taken_at < ?2 LIMIT ?3)");
      Stmt count = Prepare(db, "SELECT count(*) FROM snapshots WHERE device_id = ?");
      Stmt oldest = Prepare(db,
                            "DELETE FROM snapshots WHERE rowid IN (SELECT rowid FROM snapshots "
                            "WHERE device_id = ? ORDER BY taken_at, rowid LIMIT ?)");
      // One transaction, one sync, for the pass (not one per statement).
      Exec(db, "BEGIN IMMEDIATE");
      bool done = true;
      for (const std::uint32_t device : devices) {
        if (Clock::now() >= until) {
          prune_from = device;
          done = false;
          break;
        }
        auto it = row_counts.find(device);
        if (by_age) {
          const std::int64_t n = DeleteInChunks(db, old.get(), until, [&](sqlite3_stmt* st, std::int64_t) {
            sqlite3_bind_int64(st, 1, device);
            BindText(st, 2, cutoff);
            sqlite3_bind_int(st, 3, kRetentionChunk);
            return kRetentionChunk;
          });
          if (it != row_counts.end()) it->second -= n;
        }
        if (retention.max_rows_per_device <= 0) continue;
        if (it == row_counts.end()) {
          sqlite3_bind_int64(count.get(), 1, device);
          const int rc = sqlite3_step(count.get());
          const std::int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(count.get(), 0) : 0;
          sqlite3_reset(count.get());
          if (rc != SQLITE_ROW) throw SqlError(Message(db));
          it = row_counts.emplace(device, n).first;
        }
        std::int64_t& rows = it->second;
        rows -= DeleteInChunks(db, oldest.get(), until, [&](sqlite3_stmt* st, std::int64_t deleted) {
          const auto excess = rows - deleted - retention.max_rows_per_device;
          if (excess <= 0) return 0;
          const int chunk = static_cast<int>(std::min<std::int64_t>(excess, kRetentionChunk));
          sqlite3_bind_int64(st, 1, device);
          sqlite3_bind_int(st, 2, chunk);
          return chunk;
        });
      }
      if (done) prune_from = 0;
      if (by_age && Clock::now() < until) {
        Stmt alarms = Prepare(db,
                              "DELETE FROM alarms WHERE rowid IN (SELECT rowid FROM alarms WHERE "
                              "cleared_at IS NOT NULL AND raised_at < ?1 LIMIT ?2)");
        DeleteInChunks(db, alarms.get(), until, [&](sqlite3_stmt* st, std::int64_t) {
          BindText(st, 1, cutoff);
          sqlite3_bind_int(st, 2, kRetentionChunk);
          return kRetentionChunk;
        });
      }
      Exec(db, "COMMIT");
      if (Clock::now() >= until) next_retention = Clock::now() + kRetentionSoon;
    } catch (const SqlError& e) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      writer = Conn{};  // and the counts go with it: they are taken again
      CountError();
      Log("retention", std::string("deleting old rows failed: ") + e.what());
    }
  }

  void Writer() {
    std::vector<Op> batch;
    auto next_try = Clock::now();
    Clock::time_point last_commit{};  // of the last batch written (or tried)
    for (;;) {
      {
        std::unique_lock lk(mu);
        for (;;) {
          const bool work = !batch.empty() || !queue.empty();
          const auto now = Clock::now();
          if (stopping && (!work || now >= deadline)) {
            const std::size_t left = batch.size() + queue.size();
            lk.unlock();
            if (left && log)
              log("history " + path + ": stopping with " + std::to_string(left) +
                  " writes not written");
            if (!left && Clock::now() + 1s < deadline) Prune();
            return;
          }
          // While a batch waits for its retry, retention waits too.
          if (work && now >= next_try) break;
          if (!work && !stopping && now >= next_retention) break;
          auto until = work ? next_try : next_retention;
          if (stopping) until = std::min(until, deadline);
          wake.wait_until(lk, until);
        }
        if (!stopping && batch.empty() && queue.size() < kBatch && Clock::now() < last_commit + kGather)
          wake.wait_until(lk, last_commit + kGather, [&] { return stopping || queue.size() >= kBatch; });
        while (batch.size() < kBatch && !queue.empty()) {
          batch.push_back(std::move(queue.front()));
          queue.pop_front();
        }
        in_batch = batch.size();
      }
      if (!batch.empty()) {
        const bool ok = Write(batch);
        last_commit = Clock::now();
        if (ok) {
          batch.clear();
        } else {
          failing = true;
          next_try = Clock::now() + kRetry;
        }
        {
          std::lock_guard lk(mu);
          in_batch = batch.size();
          if (!ok) ++failed_batches;
        }
        settled.notify_all();
      }
      if (!failing && Clock::now() >= next_retention) Prune();
    }
  }

  bool Enqueue(Op op) {
    {
      std::lock_guard lk(mu);
      if (stopping || queue.size() + in_batch >= queue_limit) {
        ++stats.dropped;
        return false;
      }
      queue.push_back(std::move(op));
      // The writer waits for the first write of a batch, or for a full one
      // while it gathers; otherwise it is busy and finds the write itself.
      if (queue.size() != 1 && queue.size() != kBatch) return true;
    }
    wake.notify_one();
    return true;
  }

  // Runs `f` on the read connection, reopened when the file changed; an
  // empty result when the database cannot be read.
  template <class T, class F>
  T Read(F f) const {
    std::lock_guard lk(read_mu);
    try {
      if (!reader.db || IdOf(path) != reader.id) {
        reader = Conn{};
        reader = Open(path, false);
      }
      return f(reader.db.get());
    } catch (const SqlError&) {
      reader = Conn{};
      return T{};
    }
  }
};

HistoryStore::HistoryStore(const std::string& path, Retention retention, LogFn log,
                           std::size_t queue_limit)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.path = path;
  m.retention = retention;
  m.log = std::move(log);
  m.queue_limit = queue_limit;
  try {
    m.writer = Open(path, true);
    m.reader = Open(path, false);
  } catch (const SqlError& e) {
    throw StoreError("database " + path + ": " + e.what());
  }
  m.next_retention = Clock::now();
  m.thread = std::thread([&m] {
    NameThisThread("history");
    m.Writer();
  });
}

HistoryStore::~HistoryStore() {
  {
    std::lock_guard lk(impl_->mu);
    impl_->stopping = true;
    impl_->deadline = Clock::now() + kDrainFor;
  }
  impl_->wake.notify_all();
  impl_->thread.join();
}

bool HistoryStore::SaveSnapshot(std::uint32_t device_id, std::string taken_at, int type,
                                std::vector<unsigned char> data, Committed on_commit) {
  return SaveSnapshot(device_id, std::move(taken_at), type,
                      std::make_shared<const std::vector<unsigned char>>(std::move(data)), std::move(on_commit));
}

bool HistoryStore::SaveSnapshot(std::uint32_t device_id, std::string taken_at, int type,
                                std::shared_ptr<const std::vector<unsigned char>> data, Committed on_commit) {
  if (data && data->size() > static_cast<std::size_t>(kMaxBlob)) {
    // Larger than a read would take back: refused like a full queue.
    std::lock_guard lk(impl_->mu);
    ++impl_->stats.dropped;
    return false;
  }
  Op op;
  op.kind = Op::kSnapshot;
  op.device_id = device_id;
  op.time = std::move(taken_at);
  op.type = type;
  op.data = std::move(data);
  op.on_commit = std::move(on_commit);
  return impl_->Enqueue(std::move(op));
}

bool HistoryStore::RaiseAlarm(const AlarmInstance& alarm) {
  return RaiseAlarm(std::make_shared<const AlarmInstance>(alarm));
}

bool HistoryStore::ClearAlarm(std::uint32_t device_id, const std::string& key,
                              const std::string& desc, const std::string& cleared_at) {
  AlarmInstance cleared;
  cleared.device_id = device_id;
  cleared.key = key;
  cleared.desc = desc;
  cleared.cleared_at = cleared_at;
  return ClearAlarm(std::make_shared<const AlarmInstance>(std::move(cleared)));
}

bool HistoryStore::RaiseAlarm(std::shared_ptr<const AlarmInstance> alarm) {
  if (!alarm) return false;
  Op op;
  op.kind = Op::kRaise;
  op.device_id = alarm->device_id;
  op.alarm = std::move(alarm);
  return impl_->Enqueue(std::move(op));
}

bool HistoryStore::ClearAlarm(std::shared_ptr<const AlarmInstance> cleared) {
  if (!cleared) return false;
  Op op;
  op.kind = Op::kClear;
  op.device_id = cleared->device_id;
  op.alarm = std::move(cleared);
  return impl_->Enqueue(std::move(op));
}

bool HistoryStore::Flush(int timeout_ms) {
  std::unique_lock lk(impl_->mu);
  const std::uint64_t failed = impl_->failed_batches;
  impl_->settled.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
    return (impl_->queue.empty() && impl_->in_batch == 0) || impl_->failed_batches != failed;
  });
  return impl_->queue.empty() && impl_->in_batch == 0;
}

std::optional<StoredSnapshot> HistoryStore::NewestSnapshot(std::uint32_t device_id) const {
  return impl_->Read<std::optional<StoredSnapshot>>([&](sqlite3* db) {
    // Rows of the wrong shape are passed over, so a valid older row is found.
    Stmt s = Prepare(db,
                     "SELECT taken_at, type, data FROM snapshots WHERE device_id = ? AND "
                     "typeof(taken_at) = 'text' AND typeof(type) = 'integer' AND "
                     "typeof(data) = 'blob' AND length(data) <= ? "
                     "ORDER BY taken_at DESC, rowid DESC");
    sqlite3_bind_int64(s.get(), 1, device_id);
    sqlite3_bind_int(s.get(), 2, kMaxBlob);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      if (auto row = SnapshotRow(s.get())) return row;
    if (rc != SQLITE_DONE) throw SqlError(Message(db));
    return std::optional<StoredSnapshot>{};
  });
}

std::vector<StoredSnapshot> HistoryStore::SnapshotsSince(std::uint32_t device_id,
                                                         const std::string& since,
                                                         int limit) const {
  if (limit <= 0) return {};
  return impl_->Read<std::vector<StoredSnapshot>>([&](sqlite3* db) {
    Stmt s = Prepare(db,
                     "SELECT taken_at, type, data FROM snapshots WHERE device_id = ? AND "
                     "taken_at >= ? AND typeof(taken_at) = 'text' AND typeof(type) = 'integer' "
                     "AND typeof(data) = 'blob' AND length(data) <= ? "
                     "ORDER BY taken_at, rowid LIMIT ?");
    sqlite3_bind_int64(s.get(), 1, device_id);
    BindText(s.get(), 2, since);
    sqlite3_bind_int(s.get(), 3, kMaxBlob);
    sqlite3_bind_int(s.get(), 4, limit);
    std::vector<StoredSnapshot> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      if (auto row = SnapshotRow(s.get())) out.push_back(std::move(*row));
    if (rc != SQLITE_DONE) throw SqlError(Message(db));
    return out;
  });
}

std::vector<AlarmInstance> HistoryStore::ActiveAlarms(std::uint32_t device_id) const {
  return impl_->Read<std::vector<AlarmInstance>>([&](sqlite3* db) {
    Stmt s = Prepare(db, (std::string(kAlarmColumns) +
                          "WHERE device_id = ? AND cleared_at IS NULL ORDER BY raised_at, rowid")
                             .c_str());
    sqlite3_bind_int64(s.get(), 1, device_id);
    std::vector<AlarmInstance> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      if (auto row = AlarmRow(s.get())) out.push_back(std::move(*row));
    if (rc != SQLITE_DONE) throw SqlError(Message(db));
    return out;
  });
}

std::vector<AlarmInstance> HistoryStore::QueryAlarms(std::optional<std::uint32_t> device_id,
                                                     bool active_only, int limit) const {
  if (limit <= 0) return {};
  return impl_->Read<std::vector<AlarmInstance>>([&](sqlite3* db) {
    std::string sql = std::string(kAlarmColumns) + "WHERE typeof(raised_at) = 'text'";
    if (device_id) sql += " AND device_id = ?2";
    if (active_only) sql += " AND cleared_at IS NULL";
    sql += " ORDER BY raised_at DESC, rowid DESC LIMIT ?1";
    Stmt s = Prepare(db, sql.c_str());
    sqlite3_bind_int(s.get(), 1, limit);
    if (device_id) sqlite3_bind_int64(s.get(), 2, *device_id);
    std::vector<AlarmInstance> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      if (auto row = AlarmRow(s.get())) out.push_back(std::move(*row));
    if (rc != SQLITE_DONE) throw SqlError(Message(db));
    return out;
  });
}

StoreStats HistoryStore::Stats() const {
  std::lock_guard lk(impl_->mu);
  StoreStats s = impl_->stats;
  s.queue_depth = impl_->queue.size() + impl_->in_batch;
  return s;
}

std::size_t HistoryStore::QueueDepth() const {
  std::lock_guard lk(impl_->mu);
  return impl_->queue.size() + impl_->in_batch;
}

const std::string& HistoryStore::Path() const { return impl_->path; }

}  // namespace krthost::site
