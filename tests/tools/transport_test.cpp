// The real transports over a real tty (a pseudo-terminal) and a loopback
// TCP connection: bytes both ways, timeouts, a lost line and its reopening.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "serial_transport.h"
#include "tcp_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::string read_fd(int fd, std::size_t want) {
  std::string out;
  while (out.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) break;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string read_transport(ByteTransport& t, std::size_t want) {
  std::string out;
  std::uint8_t buf[256];
  while (out.size() < want) {
    const long n = t.Read(buf, sizeof buf, 1000);
    if (n <= 0) break;
    out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
  }
  return out;
}

bool write_text(ByteTransport& t, const std::string& s) {
  return t.Write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

class Pty {
 public:
  Pty() {
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    path = ::ttyname(slave);
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  int master = -1, slave = -1;
  std::string path;
};

TEST(SerialTransport, CarriesEveryByteRawBothWays) {
  Pty pty;
  SerialTransport t(pty.path, 9600);
  ASSERT_TRUE(t.Open()) << t.LastError();
  // CR, NUL, XON/XOFF and the frame bytes must pass unchanged: raw mode.
  const std::string frame = std::string("~2101\r\n\x00\x11\x13\x7F", 11);
  ASSERT_TRUE(write_text(t, frame));
  EXPECT_EQ(read_fd(pty.master, frame.size()), frame);
  ASSERT_EQ(::write(pty.master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(read_transport(t, frame.size()), frame);

  termios tio{};
  ASSERT_EQ(::tcgetattr(t.Fd(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
}

TEST(SerialTransport, ReadTimesOutWithZero) {
  Pty pty;
  SerialTransport t(pty.path, 9600);
  ASSERT_TRUE(t.Open());
  std::uint8_t buf[8];
  const auto start = Clock::now();
  EXPECT_EQ(t.Read(buf, sizeof buf, 80), 0);
  EXPECT_GE(elapsed_ms(start), 70);
  EXPECT_TRUE(t.IsOpen());
}

TEST(SerialTransport, HangUpIsALostLineAndTheNextOpenGoesByName) {
  auto pty = std::make_unique<Pty>();
  const std::string path = pty->path;
  SerialTransport t(path, 9600);
  ASSERT_TRUE(t.Open());
  pty.reset();  // the adapter is unplugged
  std::uint8_t buf[8];
  EXPECT_EQ(t.Read(buf, sizeof buf, 500), -1);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_NE(t.LastError().find("serial " + path), std::string::npos) << t.LastError();
  EXPECT_FALSE(write_text(t, "x"));
  // The name is gone: the open fails with a reason, and works once a line
  // is there again.
  EXPECT_FALSE(t.Open());
  EXPECT_NE(t.LastError().find("open:"), std::string::npos) << t.LastError();
  Pty again;
  SerialTransport t2(again.path, 9600);
  EXPECT_TRUE(t2.Open());
}

TEST(SerialTransport, OpenFailuresSayWhy) {
  const struct {
    std::string device;
    std::uint32_t baud;
    const char* error;
  } cases[] = {
      {"/nonexistent/ttyUSB9", 9600, "serial /nonexistent/ttyUSB9: open: No such file or directory"},
      {"/dev/null", 9600, "serial /dev/null: not a terminal"},
      {"/dev/null", 12345, "unsupported baud rate 12345"},
  };
  for (const auto& c : cases) {
    SerialTransport t(c.device, c.baud);
    EXPECT_FALSE(t.Open());
    EXPECT_FALSE(t.IsOpen());
    EXPECT_NE(t.LastError().find(c.error), std::string::npos) << t.LastError();
  }
}

class Listener {
 public:
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int Accept() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return -1;
    return ::accept(fd, nullptr, nullptr);
  }
  int fd = -1;
  std::uint16_t port = 0;
};

TEST(TcpTransport, ExchangesBytesAndReconnectsAfterThePeerCloses) {
  Listener server;
  TcpTransport t("127.0.0.1", server.port);
  ASSERT_TRUE(t.Open()) << t.LastError();
  int peer = server.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(write_text(t, "~request\r"));
  EXPECT_EQ(read_fd(peer, 9), "~request\r");
  ASSERT_EQ(::write(peer, "~reply\r", 7), 7);
  EXPECT_EQ(read_transport(t, 7), "~reply\r");

  ::close(peer);  // the serial-device server drops the connection
  std::uint8_t buf[8];
  EXPECT_EQ(t.Read(buf, sizeof buf, 1000), -1);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_NE(t.LastError().find("closed by the other end"), std::string::npos) << t.LastError();
  // Writing to a dropped connection fails; it does not raise SIGPIPE.
  EXPECT_FALSE(write_text(t, "x"));

  ASSERT_TRUE(t.Open()) << t.LastError();
  peer = server.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(write_text(t, "again"));
  EXPECT_EQ(read_fd(peer, 5), "again");
  ::close(peer);
}

TEST(TcpTransport, ConnectFailuresSayWhy) {
  std::uint16_t unused_port;
  {
    Listener l;  // a port that was free a moment ago and is closed now
    unused_port = l.port;
  }
  TcpTransport refused("127.0.0.1", unused_port);
  EXPECT_FALSE(refused.Open());
  EXPECT_NE(refused.LastError().find("tcp 127.0.0.1:" + std::to_string(unused_port) + ": connect: Connection refused"),
            std::string::npos) << refused.LastError();
  std::uint8_t buf[1];
  EXPECT_EQ(refused.Read(buf, 1, 10), -1);
  EXPECT_NE(refused.LastError().find("not open"), std::string::npos);
}

}  // namespace
