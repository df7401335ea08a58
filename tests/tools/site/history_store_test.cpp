// The history store on real SQLite files: what is written comes back, the
// commit callback follows the commit, retention, a full queue, a database
// that goes away and comes back, and tampered files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <thread>

#include "history_store.h"

namespace {

using namespace krthost::site;
namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("history_store_test." + std::to_string(::getpid()) + "." +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// A connection of the test's own, to see what was committed and to tamper.
struct RawDb {
  sqlite3* db = nullptr;
  explicit RawDb(const fs::path& p) { EXPECT_EQ(sqlite3_open(p.c_str(), &db), SQLITE_OK); }
  ~RawDb() { sqlite3_close(db); }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << sql << ": " << (err ? err : "");
    sqlite3_free(err);
  }
  // Each query's count against what it should be.
  struct Expected {
    const char* sql;
    std::int64_t want;
  };
  void ExpectCounts(std::initializer_list<Expected> cases) {
    for (const auto& c : cases) EXPECT_EQ(Count(c.sql), c.want) << c.sql;
  }
  std::int64_t Count(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
      n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
  }
};

std::string At(int second) { return "2026-12-09T10:00:" + std::string(second < 10 ? "0" : "") +
                                     std::to_string(second) + ".000"; }

AlarmInstance Alarm(std::uint32_t device, const std::string& key, const std::string& desc,
                    const std::string& raised_at) {
  return {device, key, "06029", 3, 2, "name " + key, desc, raised_at, ""};
}

TEST(HistoryStore, WritesComeBackAfterReopen) {
  TempDir dir;
  const std::string path = (dir.path / "sub" / "history.db").string();  // directory made
  {
    HistoryStore store(path, {}, {});
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(store.SaveSnapshot(1, At(i), 5029, {static_cast<unsigned char>(i), 0xAA}));
    ASSERT_TRUE(store.SaveSnapshot(2, At(3), 7, std::vector<unsigned char>{}));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(1, "k1", "unit 1", At(1))));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(1, "k1", "unit 2", At(2))));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(1, "k2", "unit 1", At(3))));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(2, "k1", "unit 1", At(4))));
    ASSERT_TRUE(store.ClearAlarm(1, "k1", "unit 2", At(5)));
    ASSERT_TRUE(store.Flush(5000));
    const StoreStats st = store.Stats();
    EXPECT_EQ(st.rows_written, 6u);
    EXPECT_EQ(st.rows_by_device, (std::map<std::uint32_t, std::uint64_t>{{1, 5}, {2, 1}}));
    EXPECT_EQ(st.queue_depth, 0u);
    EXPECT_EQ(st.errors, 0u);
  }
  HistoryStore store(path, {}, {});
  const auto newest = store.NewestSnapshot(1);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->taken_at, At(4));
  EXPECT_EQ(newest->type, 5029);
  EXPECT_EQ(newest->data, (std::vector<unsigned char>{4, 0xAA}));
  ASSERT_TRUE(store.NewestSnapshot(2));
  EXPECT_TRUE(store.NewestSnapshot(2)->data.empty());
  EXPECT_FALSE(store.NewestSnapshot(3));

  const auto since = store.SnapshotsSince(1, At(2), 2);
  ASSERT_EQ(since.size(), 2u);
  EXPECT_EQ(since[0].taken_at, At(2));
  EXPECT_EQ(since[1].taken_at, At(3));
  EXPECT_EQ(store.SnapshotsSince(1, "", 100).size(), 5u);

  const auto active = store.ActiveAlarms(1);  // raise order, the cleared one gone
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0].desc, "unit 1");
  EXPECT_EQ(active[0].key, "k1");
  EXPECT_EQ(active[0].nm_id, "06029");
  EXPECT_EQ(active[0].seq, 3);
  EXPECT_EQ(active[0].kind, 2);
  EXPECT_EQ(active[0].raised_at, At(1));
  EXPECT_EQ(active[1].key, "k2");

  const auto all = store.QueryAlarms(std::nullopt, false, 10);  // newest first
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].device_id, 2u);
  EXPECT_EQ(all[2].desc, "unit 2");
  EXPECT_EQ(all[2].cleared_at, At(5));
  EXPECT_EQ(store.QueryAlarms(1u, true, 10).size(), 2u);
  EXPECT_EQ(store.QueryAlarms(1u, false, 1).size(), 1u);
}

TEST(HistoryStore, CommitCallbackSeesTheRowCommitted) {
  TempDir dir;
  const fs::path path = dir.path / "h.db";
  HistoryStore store(path.string(), {}, {});
  RawDb raw(path);
  std::atomic<int> seen{0}, calls{0};
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(store.SaveSnapshot(1, At(i), 1, {1}, [&, i] {
      ++calls;
      // Another connection sees only committed rows.
      if (raw.Count("SELECT count(*) FROM snapshots WHERE taken_at = '" + At(i) + "'") == 1) ++seen;
    }));
  ASSERT_TRUE(store.Flush(5000));
  EXPECT_EQ(calls, 20);
  EXPECT_EQ(seen, 20);
}

TEST(HistoryStore, RetentionByAgeAndCount) {
  TempDir dir;
  const fs::path path = dir.path / "h.db";
  {
    HistoryStore store(path.string(), {.keep_days = 30, .max_rows_per_device = 5}, {});
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(store.SaveSnapshot(1, At(i), 1, {1}));
    ASSERT_TRUE(store.SaveSnapshot(2, "2001-01-01T00:00:00.000", 1, {1}));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(store.SaveSnapshot(2, At(i), 1, {1}));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(2, "old", "cleared", "2001-01-01T00:00:00.000")));
    ASSERT_TRUE(store.ClearAlarm(2, "old", "cleared", "2001-01-02T00:00:00.000"));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(2, "old", "active", "2001-01-01T00:00:00.000")));
    ASSERT_TRUE(store.RaiseAlarm(Alarm(2, "new", "cleared", At(1))));
    ASSERT_TRUE(store.ClearAlarm(2, "new", "cleared", At(2)));
  }  // the writer's last pass runs at shutdown
  RawDb raw(path);
  raw.ExpectCounts({
      {"SELECT count(*) FROM snapshots WHERE device_id = 1", 5},
      {"SELECT count(*) FROM snapshots WHERE device_id = 1 AND taken_at >= '2026-12-09T10:00:15'", 5},
      {"SELECT count(*) FROM snapshots WHERE device_id = 2", 3},
      {"SELECT count(*) FROM snapshots WHERE taken_at < '2002'", 0},
      {"SELECT count(*) FROM alarms WHERE desc = 'cleared' AND key = 'old'", 0},
      {"SELECT count(*) FROM alarms WHERE desc = 'active'", 1},
      {"SELECT count(*) FROM alarms WHERE key = 'new'", 1},
  });
}

// Retention goes device by device: more old rows than one chunk go in one
// pass for every device, a row of no device's id does not stop the others,
// and a device's count, taken once, follows the rows written after it.
TEST(HistoryStore, RetentionCatchesUpOnEveryDeviceAndKeepsItsCounts) {
  TempDir dir;
  const fs::path path = dir.path / "h.db";
  { HistoryStore schema(path.string(), {}, {}); }
  {
    RawDb raw(path);
    raw.Exec("BEGIN");
    raw.Exec("INSERT INTO snapshots(device_id, taken_at, type, data) VALUES(1.5, '2001', 1, x'01')");
    for (int i = 0; i < 1200; ++i)
      for (int device : {1, 2})
        raw.Exec("INSERT INTO snapshots(device_id, taken_at, type, data) VALUES(" + std::to_string(device) +
                 ", '2001-01-01T00:00:00.000', 1, x'01')");
    for (int i = 0; i < 700; ++i)
      raw.Exec("INSERT INTO snapshots(device_id, taken_at, type, data) VALUES(3, '" + At(i % 60) + "', 1, x'01')");
    raw.Exec("COMMIT");
  }
  {
    HistoryStore store(path.string(), {.keep_days = 30, .max_rows_per_device = 600}, {});
    ASSERT_TRUE(store.SaveSnapshot(4, At(0), 1, {1}));
    ASSERT_TRUE(store.Flush(5000));  // the first pass follows this batch
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(store.SaveSnapshot(3, At(59), 1, {1}));
  }  // and the last runs at shutdown
  RawDb raw(path);
  raw.ExpectCounts({
      {"SELECT count(*) FROM snapshots WHERE device_id IN (1, 2)", 0},
      {"SELECT count(*) FROM snapshots WHERE device_id = 3", 600},
      {"SELECT count(*) FROM snapshots WHERE device_id = 3 AND taken_at = '2026-12-09T10:00:59.000'", 21},
      {"SELECT count(*) FROM snapshots WHERE device_id = 1.5", 1},
  });
}

TEST(HistoryStore, FullQueueDropsAndCountsWithoutLosingWhatItTook) {
  TempDir dir;
  constexpr std::size_t kLimit = 3;
  HistoryStore store((dir.path / "h.db").string(), {}, {}, kLimit);
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  ASSERT_TRUE(store.SaveSnapshot(1, At(0), 1, {1}, [&] {
    entered.set_value();
    released.wait();  // holds the writer
  }));
  entered.get_future().wait();
  int accepted = 0;
  for (int i = 1; i <= 10; ++i) accepted += store.SaveSnapshot(1, At(i), 1, {1}) ? 1 : 0;
  const StoreStats held = store.Stats();
  EXPECT_LE(held.queue_depth, kLimit);
  EXPECT_LT(accepted, static_cast<int>(kLimit));
  EXPECT_EQ(held.dropped, static_cast<std::uint64_t>(10 - accepted));
  release.set_value();
  ASSERT_TRUE(store.Flush(5000));
  EXPECT_EQ(store.Stats().rows_written, static_cast<std::uint64_t>(1 + accepted));
}

// A database whose file or directory goes away: the writer counts and logs
// the failure, keeps the writes and goes on once the path is usable again.
TEST(HistoryStore, WritingResumesAfterTheDatabaseWentAway) {
  TempDir dir;
  const fs::path sub = dir.path / "data";
  const fs::path path = sub / "h.db";
  std::mutex log_mu;
  std::vector<std::string> logs;
  HistoryStore store(path.string(), {}, [&](const std::string& s) {
    std::lock_guard lk(log_mu);
    logs.push_back(s);
  });
  ASSERT_TRUE(store.SaveSnapshot(1, At(0), 1, std::vector<unsigned char>{0}));
  ASSERT_TRUE(store.Flush(5000));
  ASSERT_TRUE(store.NewestSnapshot(1));  // the reader holds the file's log open

  // The file removed under the open connection: the next write recreates it.
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix);
  ASSERT_TRUE(store.SaveSnapshot(1, At(1), 1, {1}));
  ASSERT_TRUE(store.Flush(5000));
  ASSERT_TRUE(fs::exists(path));
  ASSERT_TRUE(store.NewestSnapshot(1));
  EXPECT_EQ(store.NewestSnapshot(1)->taken_at, At(1));
  EXPECT_EQ(RawDb(path).Count("SELECT count(*) FROM snapshots"), 1);

  // The directory replaced by a file: no way to open it (root ignores modes).
  fs::remove_all(sub);
  std::ofstream(sub) << "not a directory";
  ASSERT_TRUE(store.SaveSnapshot(1, At(2), 1, {2}));
  ASSERT_TRUE(store.RaiseAlarm(Alarm(1, "k", "d", At(2))));
  EXPECT_FALSE(store.Flush(3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a few retries
  const StoreStats failing = store.Stats();
  EXPECT_GE(failing.errors, 2u);
  EXPECT_EQ(failing.queue_depth, 2u);
  {
    std::lock_guard lk(log_mu);
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const std::string& s) {
                              return s.find("cannot open") != std::string::npos;
                            }),
              1)
        << "one log line a minute per kind of failure";
  }

  fs::remove(sub);
  ASSERT_TRUE(store.Flush(5000));
  ASSERT_TRUE(store.NewestSnapshot(1));
  EXPECT_EQ(store.NewestSnapshot(1)->taken_at, At(2));
  EXPECT_EQ(store.ActiveAlarms(1).size(), 1u);
  EXPECT_EQ(store.Stats().rows_written, 3u);
}

TEST(HistoryStore, OpenFailuresNameTheFile) {
  TempDir dir;
  const fs::path garbage = dir.path / "garbage.db";
  std::ofstream(garbage) << std::string(4096, 'x');
  const fs::path file = dir.path / "file";
  std::ofstream(file) << "x";
  const fs::path schema = dir.path / "schema.db";
  RawDb(schema).Exec("CREATE TABLE snapshots(device_id INTEGER, taken_at TEXT)");
  for (const fs::path& p : {garbage, file / "h.db", schema}) {
    try {
      HistoryStore store(p.string(), {}, {});
      ADD_FAILURE() << p << " opened";
    } catch (const StoreError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("database " + p.string() + ": ", 0), 0u) << e.what();
    }
  }
}

TEST(HistoryStore, TamperedRowsAreSkippedOnRead) {
  TempDir dir;
  const fs::path path = dir.path / "h.db";
  { HistoryStore store(path.string(), {}, {}); }
  {
    RawDb raw(path);
    raw.Exec(
        "INSERT INTO snapshots(device_id, taken_at, type, data) VALUES"
        "(1, '2026-01-01T00:00:00.000', 7, x'0102'),"  // the one good row
        "(1, x'3230323730313031', 1, x'00'),"
        "(1, '2028-01-01T00:00:00.000', 'abc', x'00'),"
        "(1, '2029-01-01T00:00:00.000', 99999999999, x'00'),"
        "(1, '2030-01-01T00:00:00.000', 1, NULL),"
        "(1, '2031-01-01T00:00:00.000', 1, 'text, not a blob'),"
        "(1, '2032-01-01T00:00:00.000', 1, zeroblob(2000000)),"
        "(1, NULL, NULL, NULL)");
    raw.Exec(
        "INSERT INTO alarms(device_id, key, nm_id, seq, kind, name, desc, raised_at, cleared_at) "
        "VALUES (1, 'good', '1', 1, 2, 'n', 'd', '2026-01-01T00:00:00.000', NULL),"
        "(1, NULL, '1', 1, 2, 'n', 'd', '2026-01-02T00:00:00.000', NULL),"
        "(1, 'k', '1', 'seq', 2, 'n', 'd', '2026-01-03T00:00:00.000', NULL),"
        "(1, 'k', '1', 1, 1e30, 'n', 'd', '2026-01-04T00:00:00.000', NULL),"
        "(1, 'k', '1', 1, 2, 'n', x'00', '2026-01-05T00:00:00.000', NULL),"
        "(1, 'k', '1', 1, 2, 'n', 'd', NULL, NULL),"
        "(1, 'k', '1', 1, 2, 'n', 'd', '2026-01-06T00:00:00.000', x'05'),"
        "(1, 'k', '1', 1, 2, 'n', 'd', '2026-01-07T00:00:00.000', NULL)");
    raw.Exec("UPDATE alarms SET key = CAST(zeroblob(100000) AS TEXT) WHERE raised_at LIKE '%07T%'");
    raw.Exec("INSERT INTO alarms(device_id, key, desc, raised_at) VALUES ('one', 'k', 'd', 'x')");
  }
  HistoryStore store(path.string(), {}, {});
  const auto newest = store.NewestSnapshot(1);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->taken_at, "2026-01-01T00:00:00.000");
  EXPECT_EQ(newest->data, (std::vector<unsigned char>{1, 2}));
  EXPECT_EQ(store.SnapshotsSince(1, "", 100).size(), 1u);
  const auto active = store.ActiveAlarms(1);
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].key, "good");
  EXPECT_EQ(store.QueryAlarms(std::nullopt, false, 100).size(), 1u);
}

}  // namespace
