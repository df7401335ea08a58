// Byte transport over a POSIX file descriptor: the reading, writing and
// closing that a serial port and a TCP connection share. Subclasses open the
// descriptor; every failure after that is turned into a lost line here.
#pragma once

#include <sys/types.h>

#include <string>

#include "transport.h"

class FdTransport : public ByteTransport {
 public:
  FdTransport() = default;
  ~FdTransport() override;
  FdTransport(const FdTransport&) = delete;
  FdTransport& operator=(const FdTransport&) = delete;

  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  bool Write(const std::uint8_t* data, std::size_t size) override;
  long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override;

  // What the line is called in error texts, for example "serial /dev/ttyUSB0".
  virtual std::string Describe() const = 0;
  int Fd() const { return fd_; }
  // How long a write may wait for room in the output buffer.
  void SetWriteTimeoutMs(int ms) { write_timeout_ms_ = ms; }

 protected:
  // Takes ownership of an open, non-blocking descriptor.
  void Adopt(int fd);
  // Records the error text (prefixed with the line's name) and returns false.
  bool Fail(const std::string& what);
  // Closes the line and records why: a lost line.
  long Lost(const std::string& what);
  virtual ssize_t WriteSome(const std::uint8_t* data, std::size_t size);

 private:
  int fd_ = -1;
  int write_timeout_ms_ = 2000;
};
