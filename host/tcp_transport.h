// TCP client transport to a serial-device server that exposes the
// controller's line on a TCP port.
#pragma once

#include <cstdint>
#include <string>

#include "fd_transport.h"

class TcpTransport : public FdTransport {
 public:
  TcpTransport(std::string host, std::uint16_t port, int connect_timeout_ms = 3000);

  // Connects afresh; a connection the peer closed is replaced by a new one.
  bool Open() override;
  std::string Describe() const override;

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }

 protected:
  ssize_t WriteSome(const std::uint8_t* data, std::size_t size) override;

 private:
  std::string host_;
  std::uint16_t port_;
  int connect_timeout_ms_;
};
