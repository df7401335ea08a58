#include "tcp_transport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

TcpTransport::TcpTransport(std::string host, std::uint16_t port, int connect_timeout_ms)
    : host_(std::move(host)), port_(port), connect_timeout_ms_(connect_timeout_ms) {}

std::string TcpTransport::Describe() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "tcp " + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

ssize_t TcpTransport::WriteSome(const std::uint8_t* data, std::size_t size) {
  // A peer that went away must not kill the host with SIGPIPE.
  return ::send(Fd(), data, size, MSG_NOSIGNAL);
}

bool TcpTransport::Open() {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  const int rc = ::getaddrinfo(host_.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) return Fail(std::string("resolve: ") + ::gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);

  std::string error = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            a->ai_protocol);
    if (fd < 0) {
      error = std::string("socket: ") + std::strerror(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
          r = ::poll(&p, 1, connect_timeout_ms_);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
          err = ETIMEDOUT;
        } else if (r < 0) {
          err = errno;
        } else {
          socklen_t len = sizeof err;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
    }
    if (err != 0) {
      error = std::string("connect: ") + std::strerror(err);
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Adopt(fd);
    return true;
  }
  return Fail(error);
}
