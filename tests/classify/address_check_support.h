// An SMTP server in memory for tests of the return-address check: put in
// place of the check's TCP client (TScopedAddrCheckSocketMaker).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/net/quor_client_socket.h"

namespace halvorn::test {

// A mail server in memory. `Banner` is there once connected; each line the
// client writes takes the next entry of `Replies`. In a reply, "DROP" closes
// the connection after the lines before it, and a line starting with "~"
// arrives without its line end (the read fails leaving it unfinished). With
// no reply left the server stays silent.
struct ServerScript {
  bool ConnectOk = true;
  std::vector<std::string> Banner;
  std::vector<std::vector<std::string>> Replies;
};

class ScriptedSmtp : public TQuorAbstractClientSocket {
 public:
  ScriptedSmtp(ServerScript script, std::shared_ptr<std::vector<std::string>> written)
      : TQuorAbstractClientSocket("scripted smtp"),
        FScript(std::move(script)),
        FWritten(std::move(written)) {}
  int GetPort() const override { return FPort; }
  void SetPort(int port) override { FPort = port; }
  std::string GetHost() const override { return FHost; }
  void SetHost(const std::string& host) override { FHost = host; }
  std::uint32_t GetHostIP() const override { return StrToIP(FHost); }
  bool Connect() override {
    if (!FScript.ConnectOk) return false;
    FOpen = true;
    Deliver(FScript.Banner);
    return true;
  }
  bool Connected() override { return FOpen || !FQueue.empty(); }
  bool Close() override {
    FOpen = false;
    return true;
  }
  bool ReadLn(std::string& line) override {
    if (FQueue.empty()) return false;
    if (!FQueue.front().empty() && FQueue.front()[0] == '~') {
      FPartial = FQueue.front().substr(1);
      FQueue.pop_front();
      return false;
    }
    line = FQueue.front();
    FQueue.pop_front();
    return true;
  }
  std::string UnfinishedLine() const override { return FPartial; }
  bool WriteLn(const std::string& line) override {
    if (!FOpen) return false;
    FWritten->push_back(line);
    if (FNext < FScript.Replies.size()) Deliver(FScript.Replies[FNext++]);
    return true;
  }
  bool ReadAvailable(std::string&) override { return false; }
  bool WriteStream(const std::string&, const TWriteProgress&) override { return false; }

 private:
  void Deliver(const std::vector<std::string>& lines) {
    for (const std::string& l : lines) {
      if (l == "DROP") {
        FOpen = false;
        return;
      }
      FQueue.push_back(l);
    }
  }
  ServerScript FScript;
  std::shared_ptr<std::vector<std::string>> FWritten;
  std::deque<std::string> FQueue;
  std::string FPartial;
  std::string FHost;
  int FPort = 0;
  bool FOpen = false;
  std::size_t FNext = 0;
};

}  // namespace halvorn::test
