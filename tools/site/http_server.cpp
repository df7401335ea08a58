#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include "http_api.h"

namespace krthost::site {
namespace {

using Clock = std::chrono::steady_clock;

std::string Address(const HttpSettings& conf) {
  return conf.host.find(':') != std::string::npos ? "[" + conf.host + "]:" + std::to_string(conf.port)
                                                  : conf.host + ":" + std::to_string(conf.port);
}

// One client connection and the bytes read from it that no request took yet.
struct Conn {
  int fd = -1;
  std::string in;
  Clock::time_point since;        // accepted, or its last answer written
  Clock::time_point first_byte{};  // of the request being read; {} before it
  std::size_t served = 0;
  // Nothing read from it and nothing waiting on its socket either: a client
  // that has sent its request but was not read yet is not silent.
  bool Silent() const {
    if (!in.empty()) return false;
    char b = 0;
    return ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }
  ~Conn() {
    if (fd >= 0) ::close(fd);
  }
};
using ConnPtr = std::unique_ptr<Conn>;

void PeerOrSelf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof(a);
  ip.clear();
  port = 0;
  if ((peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
            : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)) != 0)
    return;
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text))) ip = text;
    port = ntohs(v4->sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text))) ip = text;
    port = ntohs(v6->sin6_port);
  }
}

// What httplib reads and writes one request through: the request as the
// poller collected it (then end of stream), and the socket for the answer,
// each write bounded by the write deadline.
class ReadAheadStream : public httplib::Stream {
 public:
  ReadAheadStream(Conn& c, Clock::time_point write_deadline) : c_(c), deadline_(write_deadline) {}

  bool is_readable() const override { return pos_ < c_.in.size(); }
  bool is_writable() const override { return wait_writable(); }
  ssize_t read(char* ptr, size_t size) override {
    const std::size_t n = std::min(size, c_.in.size() - pos_);
    std::memcpy(ptr, c_.in.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!wait_writable()) break;
      } else {
        break;
      }
    }
    return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { PeerOrSelf(c_.fd, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { PeerOrSelf(c_.fd, false, ip, port); }
  socket_t socket() const override { return c_.fd; }

  std::size_t Consumed() const { return pos_; }

 private:
  bool wait_writable() const {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{c_.fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left));
      if (r > 0) return (p.revents & POLLOUT) != 0;
      if (r == 0 || errno != EINTR) return false;
    }
  }

  Conn& c_;
  Clock::time_point deadline_;
  std::size_t pos_ = 0;
};

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Where a buffered request stands.
struct HeadCheck {
  enum { kPartial, kWhole, kRefused } what = kPartial;
  int status = 0;  // kRefused: the answer
  std::size_t size = 0;  // kWhole: bytes of head and body
};

// Finds the end of the request head and the body's length, so that the
// request can be handed over whole. Only what framing needs is read here;
// httplib checks the rest.
HeadCheck CheckHead(const std::string& in) {
  HeadCheck r;
  const std::size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (in.size() > HttpServer::kMaxHead) r = {HeadCheck::kRefused, 431, 0};
    return r;
  }
  if (end + 4 > HttpServer::kMaxHead) return {HeadCheck::kRefused, 431, 0};
  std::size_t body = 0;
  bool have_length = false;
  std::size_t line = in.find("\r\n") + 2;  // after the request line
  while (line < end + 2) {
    const std::size_t eol = in.find("\r\n", line);
    const std::string_view h(in.data() + line, eol - line);
    line = eol + 2;
    const std::size_t colon = h.find(':');
    if (colon == std::string_view::npos) continue;  // httplib refuses it
    const std::string_view name = h.substr(0, colon);
    std::string_view value = h.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    // This API takes no bodies: a chunked one is not read through.
    if (IEquals(name, "Transfer-Encoding")) return {HeadCheck::kRefused, 400, 0};
    if (!IEquals(name, "Content-Length")) continue;
    if (value.empty() || value.size() > 9 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return {HeadCheck::kRefused, 400, 0};
    const std::size_t n = std::stoul(std::string(value));
    if (have_length && n != body) return {HeadCheck::kRefused, 400, 0};
    have_length = true;
    body = n;
  }
  if (body > HttpServer::kPayloadMax) return {HeadCheck::kRefused, 413, 0};
  if (in.size() < end + 4 + body) return r;
  return {HeadCheck::kWhole, 0, end + 4 + body};
}

class Listener;

// The poller keeps 2 * kHeadroom slots free for new connections; the
// accept loop pushes out connections it has not handed over yet beyond
// kMaxConnections - kHeadroom, and refuses only at kMaxConnections.
constexpr std::size_t kHeadroom = 64;

// httplib's task queue, replaced: the accept loop hands each socket to the
// poller thread, which reads requests ahead and passes whole ones to a
// fixed pool of workers; a worker gives a kept-alive connection back.
class Gate : public httplib::TaskQueue {
 public:
  explicit Gate(Listener& listener);
  ~Gate() override { shutdown(); }

  // Runs the accept loop's task on its own thread: Listener passes the
  // socket on to Admit, which does not block.
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override;
  void Admit(int fd);

 private:
  void poller();
  void worker();
  void refuse(Conn& c, int status);
  void give_back(ConnPtr c);
  void wake();

  Listener& listener_;
  int wake_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable ready_cv_;
  std::vector<ConnPtr> incoming_;  // from the accept loop and the workers
  std::deque<ConnPtr> ready_;      // whole requests for the workers
  std::size_t open_ = 0;           // connections anywhere in the gate
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

class Listener : public httplib::Server {
 public:
  Gate* gate = nullptr;
  bool Process(httplib::Stream& s, bool close, bool& closed) { return process_request(s, close, closed, nullptr); }
  // httplib listens with a backlog of 5: a burst of connections would
  // overflow it and every client beyond would wait for its SYN's
  // retransmission (a second). Listening again only sets the backlog.
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

 private:
  bool process_and_close_socket(socket_t sock) override {
    if (gate) {
      gate->Admit(sock);
    } else {
      ::close(sock);
    }
    return true;
  }
};

Gate::Gate(Listener& listener) : listener_(listener) {
  if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("http: no pipe");
  listener_.gate = this;
  threads_.emplace_back([this] {
    NameThisThread("http reader");
    poller();
  });
  for (std::size_t i = 0; i < HttpServer::kWorkers; ++i)
    threads_.emplace_back([this] {
      NameThisThread("http worker");
      worker();
    });
}

void Gate::wake() {
  const char b = 0;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &b, 1);
}

void Gate::shutdown() {
  {
    std::lock_guard lk(mu_);
    if (stop_ && threads_.empty()) return;
    stop_ = true;
  }
  listener_.gate = nullptr;
  wake();
  ready_cv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  incoming_.clear();
  ready_.clear();
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void Gate::Admit(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    ::close(fd);
    return;
  }
  auto c = std::make_unique<Conn>();
  c->fd = fd;
  c->since = Clock::now();
  {
    std::lock_guard lk(mu_);
    if (stop_) return;  // c closes it
    if (open_ >= HttpServer::kMaxConnections - kHeadroom) {
      // A burst faster than the poller: the oldest new connection not yet
      // looked at goes; only at the bound itself this one.
      const auto fresh = std::find_if(incoming_.begin(), incoming_.end(),
                                      [](const ConnPtr& x) { return x->served == 0 && x->Silent(); });
      if (fresh != incoming_.end()) {
        refuse(**fresh, 503);
        incoming_.erase(fresh);
        --open_;
      } else if (open_ >= HttpServer::kMaxConnections) {
        refuse(*c, 503);
        return;
      }
    }
    ++open_;
    incoming_.push_back(std::move(c));
  }
  wake();
}

void Gate::give_back(ConnPtr c) {
  {
    std::lock_guard lk(mu_);
    if (stop_) {
      --open_;
      return;
    }
    incoming_.push_back(std::move(c));
  }
  wake();
}

// A short answer for a request that is not handed over; the connection
// closes after it (what the client sends more is not read).
void Gate::refuse(Conn& c, int status) {
  const char* text = status == 431 ? "Request Header Fields Too Large"
                     : status == 413 ? "Payload Too Large"
                     : status == 408 ? "Request Timeout"
                     : status == 503 ? "Service Unavailable"
                                     : "Bad Request";
  const std::string body = std::string("{\"error\":\"") + text + "\"}\n";
  const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + text +
                             "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  [[maybe_unused]] const ssize_t n = ::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Gate::poller() {
  using std::chrono::milliseconds;
  const auto first_wait = std::chrono::seconds(HttpServer::kReadTimeoutS);
  const auto idle_wait = std::chrono::seconds(HttpServer::kKeepAliveTimeoutS);
  const auto read_for = std::chrono::seconds(HttpServer::kReadTimeoutS);
  std::vector<ConnPtr> waiting;
  std::vector<pollfd> fds;
  char buf[4096];
  for (;;) {
    std::size_t closed = 0;
    {
      std::lock_guard lk(mu_);
      if (stop_) break;
      for (auto& c : incoming_) waiting.push_back(std::move(c));
      incoming_.clear();
      // Near the bound: the oldest connections that sent nothing go first,
      // then the oldest of the rest, so that new clients find room.
      std::vector<bool> silent;
      if (open_ > HttpServer::kMaxConnections - 2 * kHeadroom) {
        silent.reserve(waiting.size());
        for (const auto& c : waiting) silent.push_back(c->Silent());
      }
      while (open_ - closed > HttpServer::kMaxConnections - 2 * kHeadroom && !waiting.empty()) {
        std::size_t victim_at = 0;
        for (std::size_t i = 1; i < waiting.size(); ++i) {
          if (silent[i] != silent[victim_at] ? silent[i] : waiting[i]->since < waiting[victim_at]->since)
            victim_at = i;
        }
        const auto victim = waiting.begin() + static_cast<std::ptrdiff_t>(victim_at);
        silent.erase(silent.begin() + static_cast<std::ptrdiff_t>(victim_at));
        refuse(**victim, 503);
        waiting.erase(victim);
        ++closed;
      }
      open_ -= closed;
      closed = 0;
    }
    fds.assign(1, pollfd{wake_[0], POLLIN, 0});
    for (const auto& c : waiting) fds.push_back(pollfd{c->fd, POLLIN, 0});
    const int r = ::poll(fds.data(), fds.size(), 100);
    if (r < 0 && errno != EINTR) std::this_thread::sleep_for(milliseconds(10));
    if (fds[0].revents & POLLIN)
      while (::read(wake_[0], buf, sizeof(buf)) > 0) {
      }
    const auto now = Clock::now();
    std::vector<ConnPtr> keep, whole;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      ConnPtr& c = waiting[i];
      bool gone = false;
      if (r > 0 && (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) {
        // Read what is there, no more than a head and a body can take.
        while (c->in.size() <= HttpServer::kMaxHead + HttpServer::kPayloadMax) {
          const ssize_t n = ::recv(c->fd, buf, sizeof(buf), 0);
          if (n > 0) {
            if (c->in.empty()) c->first_byte = now;
            c->in.append(buf, static_cast<std::size_t>(n));
          } else if (n < 0 && errno == EINTR) {
            continue;
          } else {
            gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
          }
        }
      }
      const HeadCheck h = c->in.empty() ? HeadCheck{} : CheckHead(c->in);
      if (h.what == HeadCheck::kWhole) {
        whole.push_back(std::move(c));  // answered even when the client closed its side
      } else if (h.what == HeadCheck::kRefused) {
        refuse(*c, h.status);
        ++closed;
      } else if (gone) {
        ++closed;
      } else if (c->in.empty() ? now - c->since > (c->served ? idle_wait : first_wait)
                               : now - c->first_byte > read_for) {
        if (!c->in.empty()) refuse(*c, 408);
        ++closed;
      } else {
        keep.push_back(std::move(c));
      }
    }
    waiting = std::move(keep);
    {
      std::lock_guard lk(mu_);
      open_ -= closed;
      for (auto& c : whole) ready_.push_back(std::move(c));
    }
    if (!whole.empty()) ready_cv_.notify_all();
  }
  std::lock_guard lk(mu_);
  open_ -= waiting.size();
}

void Gate::worker() {
  for (;;) {
    ConnPtr c;
    {
      std::unique_lock lk(mu_);
      ready_cv_.wait(lk, [&] { return stop_ || !ready_.empty(); });
      if (stop_) return;
      c = std::move(ready_.front());
      ready_.pop_front();
    }
    const bool last = c->served + 1 >= HttpServer::kKeepAliveMaxCount;
    bool closed = false;
    bool ok = false;
    ReadAheadStream stream(*c, Clock::now() + std::chrono::seconds(HttpServer::kWriteTimeoutS));
    try {
      ok = listener_.Process(stream, last, closed);
    } catch (const std::exception&) {
      ok = false;
    }
    c->in.erase(0, stream.Consumed());
    ++c->served;
    c->since = Clock::now();
    c->first_byte = c->since;
    if (ok && !closed && !last) {
      give_back(std::move(c));
    } else {
      std::lock_guard lk(mu_);
      --open_;
    }
  }
}

}  // namespace

HttpServer::HttpServer(const HttpSettings& conf, const StatusBoard& board, const HistoryStore* store)
    : conf_(conf), api_(conf, board, store) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Start() {
  if (server_) throw std::runtime_error("http: already listening on " + Address(conf_));
  auto server = std::make_unique<Listener>();
  server->new_task_queue = [srv = server.get()] { return new Gate(*srv); };
  server->set_read_timeout(kReadTimeoutS, 0);
  server->set_write_timeout(kWriteTimeoutS, 0);
  server->set_keep_alive_timeout(kKeepAliveTimeoutS);
  server->set_keep_alive_max_count(kKeepAliveMaxCount);
  server->set_payload_max_length(kPayloadMax);
  // httplib's default sets SO_REUSEPORT: a second host on the same port
  // would then bind too and take part of the requests. SO_REUSEADDR alone
  // lets a restart bind while old connections linger, and nothing more.
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  // Every request, of any method, is answered here before httplib's own
  // routing: HttpApi sees the raw target, not httplib's decoded path.
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    HttpRequest request;
    request.method = req.method;
    const auto q = req.target.find('?');
    request.path = req.target.substr(0, q);
    if (q != std::string::npos) request.query = req.target.substr(q + 1);
    request.authorization = req.get_header_value("Authorization");
    HttpResponse response = api_.Handle(request);
    res.status = response.status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    if (response.content_type.rfind("text/html", 0) == 0) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'");
      res.set_header("Referrer-Policy", "no-referrer");
    }
    if (response.status == 401) res.set_header("WWW-Authenticate", "Bearer realm=\"krthost\"");
    if (response.status == 405) {
      res.set_header("Allow", "GET, HEAD");
      // A body the client may still send is not read: do not reuse the line.
      res.set_header("Connection", "close");
    }
    // What set_content does, without its copy of the body (it takes a const
    // reference): /metrics of a large site is megabytes.
    res.body = std::move(response.body);
    res.set_header("Content-Type", response.content_type);
    return httplib::Server::HandlerResponse::Handled;
  });

  int port = -1;
  if (conf_.port == 0) {
    port = server->bind_to_any_port(conf_.host);
  } else if (server->bind_to_port(conf_.host, conf_.port)) {
    port = conf_.port;
  }
  if (port <= 0 || port > 65535)
    throw std::runtime_error("http: cannot listen on " + Address(conf_) +
                             " (address in use, not on this machine, or not allowed)");
  server->WidenBacklog();
  port_ = static_cast<std::uint16_t>(port);
  server_ = std::move(server);
  thread_ = std::thread([srv = server_.get()] {
    NameThisThread("http accept");
    srv->listen_after_bind();
  });
}

void HttpServer::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace krthost::site
