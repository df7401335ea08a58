// The history writer's CPU time per snapshot row, for the store's table
// design and for three others, on a table that has grown: N devices' rows
// written one a second each, as a site polled every second writes them, at
// full speed. The store's settings throughout (16 KiB pages, WAL, a sync
// at every commit, a checkpoint every 10,000 log pages); snapshot rows
// only, no alarm rows. Per design: CPU time of the process per row and the
// bytes handed to write() per row, over the measured rows alone.
//
//   as stored          the store's index on (device_id, taken_at), a commit
//                      per 100 ms of rows (the writer's gathering);
//   commit every 5 s   the same with a commit per 5 s of rows;
//   index every 10 s   no index on the table; every 10 s of rows, their
//                      (device_id, taken_at, id) go into a table of their
//                      own keyed by them, in one statement sorted by device;
//   no device index    the table alone: the floor of the rows themselves.
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    throw std::runtime_error(sql + ": " + sqlite3_errmsg(db));
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Bytes this process has handed to write() and its kind so far.
long long BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string name;
  long long value = 0;
  while (io >> name >> value)
    if (name == "wchar:") return value;
  return 0;
}

struct Design {
  const char* name;
  bool device_index;      // the store's index on the table
  int commit_tenths;      // tenths of a second of rows per commit
  int side_index_every;   // seconds of rows per side-index statement, 0: none
};

constexpr Design kDesigns[] = {
    {"as stored", true, 1, 0},
    {"commit every 5 s", true, 50, 0},
    {"index every 10 s", false, 1, 10},
    {"no device index", false, 1, 0},
};

// A folder removed with everything in it when the run ends, failed or not.
struct TemporaryFolder {
  std::filesystem::path path;
  ~TemporaryFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

struct Figures {
  double cpu_us_per_row = 0;
  double kib_per_row = 0;
};

Figures Run(const Design& d, const std::filesystem::path& file, int devices, int rows_before, int seconds,
            int image_bytes) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open(file.c_str(), &raw);
  std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
  // As the history store opens and creates its database.
  Exec(raw, "PRAGMA page_size=16384");
  Exec(raw, "PRAGMA wal_autocheckpoint=10000");
  Exec(raw, "PRAGMA journal_mode=WAL");
  Exec(raw, "PRAGMA synchronous=FULL");
  Exec(raw,
       "CREATE TABLE snapshots(id INTEGER PRIMARY KEY, device_id INTEGER, taken_at TEXT, type INTEGER, "
       "data BLOB)");
  if (d.device_index) Exec(raw, "CREATE INDEX snapshots_by_device ON snapshots(device_id, taken_at)");
  if (d.side_index_every > 0)
    Exec(raw,
         "CREATE TABLE snapshot_index(device_id INTEGER, taken_at TEXT, id INTEGER, "
         "PRIMARY KEY(device_id, taken_at, id)) WITHOUT ROWID");
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(raw, "INSERT INTO snapshots(device_id, taken_at, type, data) VALUES(?,?,?,?)", -1, &s,
                         nullptr) != SQLITE_OK)
    throw std::runtime_error(sqlite3_errmsg(raw));
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> insert(s);

  std::vector<unsigned char> image(static_cast<std::size_t>(image_bytes));
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + i / 13);
  long long row = 0;
  const auto put = [&] {
    const long long second = row / devices;
    const std::string at = fmt::format("2026-12-{:02}T{:02}:{:02}:{:02}.000", 1 + second / 86400 % 28,
                                       second / 3600 % 24, second / 60 % 60, second % 60);
    image[static_cast<std::size_t>(row) % image.size()] ^= 1;  // no two images alike
    sqlite3_bind_int64(s, 1, row % devices + 1);
    sqlite3_bind_text(s, 2, at.data(), static_cast<int>(at.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 3, 5029);
    sqlite3_bind_blob(s, 4, image.data(), static_cast<int>(image.size()), SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(raw));
    sqlite3_reset(s);
    ++row;
  };
  long long indexed = 0;  // the last row in the side index
  const auto index_rows = [&] {
    Exec(raw, fmt::format("INSERT INTO snapshot_index SELECT device_id, taken_at, id FROM snapshots WHERE id > {} "
                          "ORDER BY device_id, taken_at, id",
                          indexed));
    indexed = row;
  };

  // The grown table: the earlier rows in large transactions, then a
  // checkpoint, so that the measured rows start on an empty log.
  Exec(raw, "BEGIN");
  while (row < static_cast<long long>(rows_before) * devices) put();
  if (d.side_index_every > 0) index_rows();
  Exec(raw, "COMMIT");
  Exec(raw, "PRAGMA wal_checkpoint(TRUNCATE)");

  const long long per_commit = std::max<long long>(1, static_cast<long long>(devices) * d.commit_tenths / 10);
  const long long per_side_index = static_cast<long long>(devices) * d.side_index_every;
  const long long end = row + static_cast<long long>(seconds) * devices;
  const double cpu0 = CpuSeconds();
  const long long bytes0 = BytesWritten();
  const long long first = row;
  while (row < end) {
    Exec(raw, "BEGIN IMMEDIATE");
    for (long long k = 0; k < per_commit && row < end; ++k) put();
    if (per_side_index > 0 && row - indexed >= per_side_index) index_rows();
    Exec(raw, "COMMIT");
  }
  const double rows = static_cast<double>(row - first);
  return {(CpuSeconds() - cpu0) / rows * 1e6, static_cast<double>(BytesWritten() - bytes0) / rows / 1024};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The history writer's CPU time per snapshot row, by table design (see bench/README.md).");
  int devices = 1000, rows_before = 300, seconds = 60, image_bytes = 1646;  // the small site's image
  std::string dir;
  app.add_option("--devices", devices, "devices, one row a second each")->check(CLI::Range(1, 100000));
  app.add_option("--rows-before", rows_before, "rows per device in the table before the measurement")
      ->check(CLI::Range(0, 100000));
  app.add_option("--seconds", seconds, "seconds of rows measured")->check(CLI::Range(1, 3600));
  app.add_option("--image-bytes", image_bytes, "bytes per snapshot image")->check(CLI::Range(1, 1 << 20));
  app.add_option("--dir", dir, "folder for the database (default: a new temporary one)");
  CLI11_PARSE(app, argc, argv);
  try {
    TemporaryFolder temporary;
    std::filesystem::path folder = dir;
    if (dir.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "hvr-history-rows-XXXXXX").string();
      if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
      folder = temporary.path = pattern;
    }
    std::cout << fmt::format("{} devices, {} rows each before, {} s of rows measured, {} bytes per image\n\n",
                             devices, rows_before, seconds, image_bytes)
              << "| design | CPU µs per row | KiB written per row |\n|---|---|---|\n";
    for (const Design& d : kDesigns) {
      const Figures f = Run(d, folder / "history.db", devices, rows_before, seconds, image_bytes);
      std::cout << fmt::format("| {} | {:.2f} | {:.1f} |\n", d.name, f.cpu_us_per_row, f.kib_per_row) << std::flush;
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "hvr_history_rows: " << e.what() << "\n";
    return 1;
  }
}
