#include "serial_transport.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

bool to_speed(std::uint32_t baud, speed_t& out) {
  switch (baud) {
    case 1200: out = B1200; return true;
    case 2400: out = B2400; return true;
    case 4800: out = B4800; return true;
    case 9600: out = B9600; return true;
    case 19200: out = B19200; return true;
    case 38400: out = B38400; return true;
    case 57600: out = B57600; return true;
    case 115200: out = B115200; return true;
    case 230400: out = B230400; return true;
    default: return false;
  }
}

}  // namespace

SerialTransport::SerialTransport(std::string device, std::uint32_t baud)
    : device_(std::move(device)), baud_(baud) {}

std::string SerialTransport::Describe() const { return "serial " + device_; }

bool SerialTransport::SupportedBaud(std::uint32_t baud) {
  speed_t s{};
  return to_speed(baud, s);
}

bool SerialTransport::Open() {
  Close();
  speed_t speed{};
  if (!to_speed(baud_, speed)) return Fail("unsupported baud rate " + std::to_string(baud_));
  const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(std::string("open: ") + std::strerror(errno));
  auto fail_closing = [&](const char* step) {
    const std::string why = std::string(step) + ": " + std::strerror(errno);
    ::close(fd);
    return Fail(why);
  };
  if (!::isatty(fd)) {
    ::close(fd);
    return Fail("not a terminal");
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return fail_closing("tcgetattr");
  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)
    return fail_closing("cfsetspeed");
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail_closing("tcsetattr");
  // Whatever the line held before this open is not a reply to us.
  ::tcflush(fd, TCIOFLUSH);
  Adopt(fd);
  return true;
}
