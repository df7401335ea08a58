// Serves a simulator on a real line: a TCP port (as a serial-device server
// does) or a pseudo-terminal (as a serial port). One peer at a time;
// single-threaded; Run returns when `stop` is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "simulator.h"

namespace sim {

// "HOST:PORT" or "[V6HOST]:PORT". Returns false with a reason.
bool ParseEndpoint(const std::string& text, std::string& host, std::uint16_t& port,
                   std::string& error);

// Receives one line of text per event worth telling (connections, faults).
using ServerLog = std::function<void(const std::string&)>;

class TcpServer {
 public:
  // Binds and listens at once; port 0 takes a free port. Throws
  // std::runtime_error naming the failing step.
  TcpServer(Responder& responder, const std::string& host, std::uint16_t port,
            unsigned bytes_per_second = 0, ServerLog log = {});
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // "HOST:PORT" as bound.
  std::string Address() const;
  void Run(const std::atomic<bool>& stop);

 private:
  Responder& responder_;
  std::string host_;
  std::uint16_t port_ = 0;
  unsigned rate_;
  ServerLog log_;
  int listen_fd_ = -1;
};

class PtyServer {
 public:
  // Opens a pseudo-terminal in raw mode. Throws std::runtime_error.
  PtyServer(Responder& responder, unsigned bytes_per_second = 0, ServerLog log = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // The path a host opens as its serial port.
  const std::string& SlavePath() const { return slave_path_; }
  void Run(const std::atomic<bool>& stop);

 private:
  Responder& responder_;
  unsigned rate_;
  ServerLog log_;
  int master_fd_ = -1;
  int slave_fd_ = -1;  // held open so that the master never sees a hang-up
  std::string slave_path_;
};

}  // namespace sim
