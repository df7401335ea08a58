#include "fd_transport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

FdTransport::~FdTransport() { Close(); }

void FdTransport::Adopt(int fd) {
  Close();
  fd_ = fd;
}

void FdTransport::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FdTransport::Fail(const std::string& what) {
  last_error_ = Describe() + ": " + what;
  return false;
}

long FdTransport::Lost(const std::string& what) {
  Fail(what);
  Close();
  return -1;
}

ssize_t FdTransport::WriteSome(const std::uint8_t* data, std::size_t size) {
  return ::write(fd_, data, size);
}

bool FdTransport::Write(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return Fail("not open");
  const auto deadline = Clock::now() + std::chrono::milliseconds(write_timeout_ms_);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = WriteSome(data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      Lost(std::string("write: ") + std::strerror(errno));
      return false;
    }
    // The output buffer is full: wait for room, but not forever.
    pollfd p{fd_, POLLOUT, 0};
    const int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      Lost(std::string("poll: ") + std::strerror(errno));
      return false;
    }
    if (r == 0) {
      Lost("write timed out");
      return false;
    }
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      Lost("line hung up while writing");
      return false;
    }
  }
  return true;
}

long FdTransport::Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) {
  if (fd_ < 0) {
    Fail("not open");
    return -1;
  }
  if (size == 0) return 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Lost(std::string("poll: ") + std::strerror(errno));
    }
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return Lost("descriptor no longer valid");
    const ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return Lost("closed by the other end");
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
      if (remaining_ms(deadline) == 0) return 0;
      continue;
    }
    return Lost(std::string("read: ") + std::strerror(errno));
  }
}
