#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "line_pacer.h"

namespace sim {
namespace {

constexpr int kPollSliceMs = 100;

std::string errno_text(const std::string& step) { return step + ": " + std::strerror(errno); }

void tell(const ServerLog& log, const std::string& text) {
  if (log) log(text);
}

// Writes all bytes, waiting for room at most a second at a time.
bool write_all(int fd, const char* data, std::size_t size, bool socket) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = socket ? ::send(fd, data + done, size - done, MSG_NOSIGNAL)
                             : ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
  }
  return true;
}

// Sends an answer as the line would: after the request's own bytes and the
// delay, paced byte by byte.
bool send_paced(int fd, const Output& out, std::size_t request_bytes, LinePacer& pacer, bool socket) {
  using Clock = LinePacer::Clock;
  const auto earliest =
      pacer.Occupy(request_bytes, Clock::now()) + std::chrono::milliseconds(out.delay_ms);
  if (pacer.Rate() == 0) {
    std::this_thread::sleep_until(earliest);
    return write_all(fd, out.bytes.data(), out.bytes.size(), socket);
  }
  for (char c : out.bytes) {
    std::this_thread::sleep_until(pacer.Next(earliest));
    if (!write_all(fd, &c, 1, socket)) return false;
  }
  return true;
}

enum class PeerEnd { kStopped, kClosed, kDropped };

// Answers one peer until it goes away, the simulator drops it, or stop.
PeerEnd serve_peer(Responder& simulator, int fd, const std::atomic<bool>& stop, unsigned rate,
                   bool socket, const ServerLog& log) {
  LinePacer pacer(rate);
  std::uint8_t buffer[512];
  while (!stop.load()) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, kPollSliceMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return PeerEnd::kClosed;
    if (r == 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return PeerEnd::kClosed;
    const Output out = simulator.Feed(buffer, static_cast<std::size_t>(n));
    if (!out.bytes.empty() && !send_paced(fd, out, static_cast<std::size_t>(n), pacer, socket)) return PeerEnd::kClosed;
    if (out.disconnect) {
      if (socket) return PeerEnd::kDropped;
      tell(log, "a pseudo-terminal cannot be dropped: no reply instead");
    }
  }
  return PeerEnd::kStopped;
}

}  // namespace

bool ParseEndpoint(const std::string& text, std::string& host, std::uint16_t& port,
                   std::string& error) {
  std::string h, p;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "\"" + text + "\" is not [HOST]:PORT";
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      error = "\"" + text + "\" is not HOST:PORT";
      return false;
    }
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
  if (h.empty() || p.empty() || ec != std::errc{} || end != p.data() + p.size() || value > 65535) {
    error = "\"" + text + "\" is not HOST:PORT with a port from 0 to 65535";
    return false;
  }
  host = h;
  port = static_cast<std::uint16_t>(value);
  return true;
}

TcpServer::TcpServer(Responder& responder, const std::string& host, std::uint16_t port,
                     unsigned bytes_per_second, ServerLog log)
    : responder_(responder), host_(host), rate_(bytes_per_second), log_(std::move(log)) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) throw std::runtime_error("resolve " + host + ": " + ::gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  std::string error = "no address for " + host;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno_text("socket");
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
      error = errno_text("bind " + host + ":" + std::to_string(port));
      ::close(fd);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6
                      ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    listen_fd_ = fd;
    return;
  }
  throw std::runtime_error(error);
}

TcpServer::~TcpServer() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string TcpServer::Address() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void TcpServer::Run(const std::atomic<bool>& stop) {
  while (!stop.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, kPollSliceMs);
    if (r <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    responder_.Reconnect();
    tell(log_, "peer connected");
    const PeerEnd end = serve_peer(responder_, fd, stop, rate_, true, log_);
    ::close(fd);
    if (end == PeerEnd::kDropped) tell(log_, "connection dropped (fault injection)");
    if (end == PeerEnd::kClosed) tell(log_, "peer closed the connection");
  }
}

PtyServer::PtyServer(Responder& responder, unsigned bytes_per_second, ServerLog log)
    : responder_(responder), rate_(bytes_per_second), log_(std::move(log)) {
  termios raw{};
  ::cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  if (::openpty(&master_fd_, &slave_fd_, nullptr, &raw, nullptr) != 0)
    throw std::runtime_error(errno_text("openpty"));
  const char* name = ::ttyname(slave_fd_);
  if (name == nullptr) throw std::runtime_error(errno_text("ttyname"));
  slave_path_ = name;
  ::fcntl(master_fd_, F_SETFL, ::fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_fd_, F_SETFD, FD_CLOEXEC);
}

PtyServer::~PtyServer() {
  if (slave_fd_ >= 0) ::close(slave_fd_);
  if (master_fd_ >= 0) ::close(master_fd_);
}

void PtyServer::Run(const std::atomic<bool>& stop) {
  while (!stop.load()) {
    if (serve_peer(responder_, master_fd_, stop, rate_, false, log_) == PeerEnd::kClosed) {
      // Should not happen while the slave is held open; do not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
    }
  }
}

}  // namespace sim
