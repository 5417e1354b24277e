// A TCP peer scripted in Python for tests of line clients: it listens on a
// loopback address and a free port and runs the test's handler for each connection,
// one after the other. Stopped when the object goes.
#pragma once

#include <cstdint>
#include <string>

#include "support/child_process.h"

namespace halvorn::test {

class ScriptedTcpServer {
 public:
  // `handler` is Python source defining `def handle(conn):` (conn is a
  // connected socket; `socket`, `sys` and `time` are imported). `port` 0 takes
  // a free port; another number binds that one (in a namespace of the test's
  // own). `host` is a loopback address.
  explicit ScriptedTcpServer(const std::string& handler, std::uint16_t port = 0,
                             const std::string& host = "127.0.0.1");
  ~ScriptedTcpServer();
  ScriptedTcpServer(const ScriptedTcpServer&) = delete;
  ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

  bool Ok() const { return FServer.Pid() > 0 && FPort != 0; }
  const std::string& Error() const { return FError; }
  std::uint16_t Port() const { return FPort; }

 private:
  ChildProcess FServer;
  std::uint16_t FPort = 0;
  std::string FError;
};

// A listening socket on a loopback address that never accepts: connects
// succeed (the kernel queues them) and then nothing is ever said. Port 0
// takes a free port.
class SilentListener {
 public:
  SilentListener(const std::string& host, std::uint16_t port);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  bool Ok() const { return FOk; }
  std::uint16_t Port() const { return FPort; }

 private:
  int FSocket = -1;
  bool FOk = false;
  std::uint16_t FPort = 0;
};

// A listener on 127.0.0.1 that never accepts, its one-place queue already
// taken: the next connect's SYN is dropped and that connect hangs until its
// own time-out.
class HangingTcpListener {
 public:
  HangingTcpListener();
  ~HangingTcpListener();
  HangingTcpListener(const HangingTcpListener&) = delete;
  HangingTcpListener& operator=(const HangingTcpListener&) = delete;
  std::uint16_t Port() const { return FPort; }

 private:
  int FListen = -1;
  int FFill[2] = {-1, -1};
  std::uint16_t FPort = 0;
};

}  // namespace halvorn::test
