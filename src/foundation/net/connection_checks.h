// The program's connection checks: a TCP connect test, the UDP datagram sent
// at start-up and a test of internet access. (The POP3 login test speaks the
// protocol: it lies with the mail transport, transport/pop3_protocol.h.)
//
// Every check may be called from any thread. On the main thread the POP3 and
// SMTP connect tests run on a worker of their own while the main thread keeps
// handling window messages, so that the program's own servers can answer
// while it waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/net/quor_client_socket.h"
#include "foundation/time/date_time.h"
#include "foundation/threads/quor_thread.h"

namespace halvorn {

// When PingInternet last found no host (0: never). Read and written from any
// thread.
extern std::atomic<TDateTime> LastPingFailure;

// Sends the datagram "hello?" to 127.230.232.112, port 6173. True when it was
// sent, false when sending failed. Called once while the main window starts.
bool SendUdpHello();

// True when a TCP connection to host:port can be made within the time-out
// (one attempt). Never raises.
bool CheckConnect(const std::string& host, int port, int timeoutMs);

// Points the client at the calling worker's flags, when the caller is one:
// its waits end when the worker is asked to stop.
void FollowCallingWorker(TQuorClientSocket& client);

// The hosts and the method PingInternet uses.
struct TPingSettings {
  // Host names or dotted addresses, asked in this order.
  std::vector<std::string> Hosts{"9.9.9.9", "1.1.1.1"};
  // Where the system allows unprivileged ICMP datagram sockets, an echo
  // request; otherwise (or when false) a TCP connect to this port stands in,
  // and an answer of any kind (accepted or refused) counts as a reply.
  bool UseIcmp = true;
  int TcpPort = 53;
  // How long one host may take to answer.
  int ReplyTimeOutMs = 500;
};
void SetPingSettings(const TPingSettings& settings);
TPingSettings GetPingSettings();

// True when the internet answers: at once when the last network success is
// less than `seconds` old; false at once within 5 s of a failed ping;
// otherwise each host is asked in turn, twice over, and the first answer
// wins. Success stamps LastNetworkSuccess, failure LastPingFailure.
bool PingInternet(int seconds);

// How the last PingInternet that asked a host did it (tests, diagnostics).
enum class TPingMethod { None, Icmp, Tcp };
TPingMethod LastPingMethod();

// A worker that runs CheckConnect. Created suspended; does not free itself.
class TCheckConnectThread : public TQuorThread {
 public:
  TCheckConnectThread(std::string host, int port, int timeoutMs);
  bool Done() const { return FDone.load(); }
  bool Result() const { return FResult.load(); }

 protected:
  void Execute() override;

 private:
  std::string FHost;
  int FPort;
  int FTimeOut;
  std::atomic<bool> FResult{false};
  std::atomic<bool> FDone{false};
};

}  // namespace halvorn
