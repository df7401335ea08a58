// Byte transport between a serial device and its controller: a serial port,
// a TCP connection to a serial-device server, or an in-process peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ByteTransport {
 public:
  virtual ~ByteTransport() = default;

  // Opens (or reopens) the line. Returns false and sets LastError on failure.
  virtual bool Open() = 0;
  // Closes the line completely; a later Open starts afresh.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Writes all bytes. Returns false on a lost line (LastError says why).
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  // Reads what is available within timeout_ms. Returns the number of bytes
  // read, 0 on timeout, -1 on a lost line (LastError says why).
  virtual long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) = 0;

  const std::string& LastError() const { return last_error_; }

 protected:
  std::string last_error_;
};
