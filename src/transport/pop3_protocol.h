// What every POP3 side of the program speaks alike: the quoting of its log
// lines, the byte-stuffing of multi-line replies (RFC 1939), and the login
// dialogue of a client (banner, USER, PASS) that the download, the local
// server's pass-through relay and the login check of a new account share.
// Each caller turns the dialogue's outcome into its own texts.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/net/quor_client_socket.h"
#include "foundation/threads/quor_thread.h"

namespace halvorn {

// The text between double quotes, as the log lines and replies quote
// commands and arguments.
inline std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// A line of a multi-line reply as sent: a leading "." doubled.
inline std::string DotStuffed(const std::string& line) {
  return !line.empty() && line[0] == '.' ? "." + line : line;
}

// A line of a multi-line reply as received (not the closing "."): a leading
// "." of a longer line dropped.
inline std::string DotUnstuffed(const std::string& line) {
  return line.size() > 1 && line[0] == '.' ? line.substr(1) : line;
}

// Where a login dialogue ended, and why.
struct TPop3LoginOutcome {
  enum TStep { Banner, User, Pass };
  enum TFailure {
    None,          // logged in: the server accepted PASS ("+" reply)
    Stopped,       // the caller's stop check said so before the step
    ReadFailed,    // no reply line (time-out, a closed connection)
    Disconnected,  // a reply came, and the connection closed with it
    WriteFailed,   // the command could not be sent
    Rejected,      // a reply that does not begin with "+" (Reply holds it)
  };
  TStep Step = Banner;  // the step that failed (Pass when logged in)
  TFailure Failure = None;
  std::string Reply;  // the last line read
};

// How a caller runs the dialogue.
struct TPop3LoginDialogue {
  // The command words ("USER " and "PASS ", or the login check's "User "
  // and "Pass ").
  std::string UserCommand = "USER ";
  std::string PassCommand = "PASS ";
  // The points at which the caller is asked whether to stop.
  enum TPoint { BeforeUser, AfterUserSent, BeforePass, AfterPassSent };
  // Asked at each point (a deadline, a stop request, the heartbeat); true
  // stops the dialogue with Stopped.
  std::function<bool(TPoint point)> Stop;
  // Reads one reply line (default: the client's ReadLn).
  std::function<bool(std::string& line)> ReadLine;
  // A banner that begins with "-" ends the dialogue (Rejected); the login
  // check and the relay take any banner.
  bool RefuseErrorBanner = false;
  // A reply after which the client is no longer connected counts as
  // Disconnected (the relay's rule).
  bool ClosedReplyIsDisconnect = false;
};

// Runs the dialogue on a connected client. Never raises but for an
// abandoned worker's unwinding.
TPop3LoginOutcome Pop3Login(TQuorClientSocket& client, const std::string& user,
                            const std::string& password, const TPop3LoginDialogue& how);

// The login check of a new account's server: logs in on host port 110 with
// "User" and "Pass" and answers "" when the login succeeded, else a failure
// text (never empty on failure: a check that runs out of time answers
// "Timed out waiting on login check", one that is asked to stop answers
// "Login check stopped"). The whole check keeps within the time-out. On the
// main thread it runs on a worker while window messages are handled. Never
// raises.
std::string CheckPopLogin(const std::string& user, const std::string& password,
                          const std::string& host, int timeoutMs);
inline constexpr const char* kLoginCheckTimedOut = "Timed out waiting on login check";
inline constexpr const char* kLoginCheckStopped = "Login check stopped";

// A worker that runs CheckPopLogin. Created suspended; does not free itself.
class TCheckPopLoginThread : public TQuorThread {
 public:
  TCheckPopLoginThread(std::string user, std::string password, std::string host, int timeoutMs);
  // The check's text; kLoginCheckTimedOut until it is done.
  std::string Result() const;
  bool Done() const { return FDone.load(); }

 protected:
  void Execute() override;

 private:
  std::string FUser;
  std::string FPassword;
  std::string FHost;
  int FTimeOut;
  mutable std::mutex FLock;
  std::string FResult{kLoginCheckTimedOut};
  std::atomic<bool> FDone{false};
};

}  // namespace halvorn
