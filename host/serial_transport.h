// Serial port transport: a POSIX terminal in raw mode, 8 data bits, no
// parity, one stop bit, no flow control, at a fixed baud rate.
#pragma once

#include <cstdint>
#include <string>

#include "fd_transport.h"

class SerialTransport : public FdTransport {
 public:
  SerialTransport(std::string device, std::uint32_t baud);

  // Opens the device by name every time, so that an adapter that was
  // unplugged and came back is found again.
  bool Open() override;
  std::string Describe() const override;

  const std::string& Device() const { return device_; }
  std::uint32_t Baud() const { return baud_; }

  // Whether the terminal interface knows this rate.
  static bool SupportedBaud(std::uint32_t baud);

 private:
  std::string device_;
  std::uint32_t baud_;
};
