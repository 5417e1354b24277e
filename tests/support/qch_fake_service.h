// A fake of the central service (tests/data/qch_fake_service.py) started for
// one test: TCP and UDP on one loopback address, answering as the test's
// JSON script says and logging every frame and datagram it receives. The
// script's keys are described in the Python file. Stopped when the object
// goes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn::test {

class QchFakeService {
 public:
  // One logged event: its kind ("open", "tcp", "bad", "close", "udp") under
  // "event" and its key=value words.
  using Event = std::map<std::string, std::string>;

  // Ports 0 take free ones; another address of 127/8 serves as a second
  // service (a redirect's target) on the same ports.
  explicit QchFakeService(const std::string& scriptJson, const std::string& host = "127.0.0.1",
                          std::uint16_t tcpPort = 0, std::uint16_t udpPort = 0);
  ~QchFakeService();
  QchFakeService(const QchFakeService&) = delete;
  QchFakeService& operator=(const QchFakeService&) = delete;

  bool Ok() const { return FTcpPort != 0; }
  const std::string& Error() const { return FError; }
  const std::string& Host() const { return FHost; }
  std::uint16_t TcpPort() const { return FTcpPort; }
  std::uint16_t UdpPort() const { return FUdpPort; }

  // The whole log, and its complete lines as events.
  std::string LogText() const;
  std::vector<Event> Events() const;
  // The events of a kind; for "tcp" only frames of `type` when it is not -1
  // ("udp": datagrams of that kind).
  std::vector<Event> EventsOf(const std::string& kind, int type = -1) const;
  int Count(const std::string& kind, int type = -1) const {
    return static_cast<int>(EventsOf(kind, type).size());
  }

 private:
  TempFolder FFolder;
  ChildProcess FServer;
  std::string FHost;
  std::uint16_t FTcpPort = 0;
  std::uint16_t FUdpPort = 0;
  std::string FError;
};

}  // namespace halvorn::test
