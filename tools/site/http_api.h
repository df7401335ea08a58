// The site host's northbound HTTP side, read-only.
//
// HttpApi turns one request (method, raw path, raw query, Authorization
// header) into one response and touches nothing but the status board and
// the history store: no sockets, no files, so it can be tested and fuzzed
// on its own. HttpServer puts it behind a listening socket.
//
//   GET /                              the status page (token also as ?token=)
//   GET /healthz                       "ok", no token needed
//   GET /metrics                       Prometheus text format 0.0.4
//   GET /api/devices                   every device's summary
//   GET /api/devices/NAME              one device with counters, polls, alarms
//   GET /api/devices/NAME/snapshot     the latest snapshot, decoded
//   GET /api/devices/NAME/history      ?field=out_v|va1|vb1|vc1&since=ISO&limit=N
//   GET /api/alarms                    ?device=NAME&state=active|all&limit=N
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "history_store.h"
#include "site_config.h"
#include "site_types.h"

namespace httplib {
class Server;
}

namespace krthost::site {

struct HttpRequest {
  std::string method;         // "GET", "HEAD", ...
  std::string path;           // raw, still percent-encoded, without the query
  std::string query;          // raw, after '?', without it; "" for none
  std::string authorization;  // the Authorization header's value, "" when absent
};

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
};

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";

// Limits of the query parameters.
inline constexpr int kAlarmLimitDefault = 100, kAlarmLimitMax = 1000;
inline constexpr int kHistoryLimitDefault = 1000, kHistoryLimitMax = 10000;
// Without `since` the history starts this long ago.
inline constexpr int kHistoryDefaultSeconds = 3600;
// Longer paths or queries are refused whole.
inline constexpr std::size_t kMaxTargetLength = 4096;

class HttpApi {
 public:
  // `store` may be null: no history (history and state=all alarms answer 503).
  HttpApi(const HttpSettings& conf, const StatusBoard& board, const HistoryStore* store);

  // Never throws: a failure inside a handler answers 500.
  HttpResponse Handle(const HttpRequest& request) const;

  // The /metrics body for the board as it is now.
  std::string Metrics() const;

 private:
  HttpResponse Route(const HttpRequest& request) const;

  std::string token_;
  const StatusBoard& board_;
  const HistoryStore* store_;
};

// The status page, embedded at build time from status_page.html.
extern const std::string_view kStatusPage;

// HttpApi on a listening socket. httplib parses and answers the requests,
// but the connections are ours: one thread waits on all of them and reads
// each request ahead, so that a worker is taken only by a request that has
// arrived whole. A client that sends nothing, trickles its bytes or opens
// thousands of connections then holds no worker, and the connections held
// are bounded (over the bound, the oldest that sent nothing goes first).
class HttpServer {
 public:
  HttpServer(const HttpSettings& conf, const StatusBoard& board, const HistoryStore* store);
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds conf.host:conf.port (port 0: any free port) and starts serving.
  // Throws std::runtime_error naming the address when it cannot bind.
  void Start();
  // Stops accepting, ends idle connections and joins the threads (within
  // about a second; a request being read waits for its read timeout).
  void Stop();
  // The bound port, 0 before Start().
  std::uint16_t Port() const { return port_; }

  static constexpr std::size_t kWorkers = 4;
  static constexpr int kReadTimeoutS = 2, kWriteTimeoutS = 2, kKeepAliveTimeoutS = 1;
  static constexpr std::size_t kKeepAliveMaxCount = 20;
  static constexpr std::size_t kPayloadMax = 64 * 1024;
  // Open connections at most; a request head (line and headers) at most.
  static constexpr std::size_t kMaxConnections = 512;
  static constexpr std::size_t kMaxHead = 16 * 1024;

 private:
  HttpSettings conf_;
  HttpApi api_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

}  // namespace krthost::site
