// A private Dovecot POP3 server for tests: configuration, users, mailboxes and
// logs in a temporary folder, listening on 127.0.0.1 and the port the test
// names, run in the foreground as a child process and stopped when the object
// goes. Needs Debian's dovecot-pop3d; run as root, the server's login
// and mail processes drop to "nobody".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace halvorn::test {

// Dovecot's master binary, or empty when it is not installed.
std::string DovecotBinary();

class DovecotServer {
 public:
  struct User {
    std::string Name;
    std::string Password;
  };

  // Starts the server and waits (up to 10 s) for its "+OK" greeting. Failed
  // logins answer at once (no failure delay).
  DovecotServer(std::uint16_t port, const std::vector<User>& users);
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  // Running and greeting; otherwise Error() says why.
  bool Ok() const { return FServer.Pid() > 0 && FError.empty(); }
  const std::string& Error() const { return FError; }
  std::uint16_t Port() const { return FPort; }

  // Puts a message in the user's mailbox (served in name order, so `name`
  // orders them). May be called while the server runs.
  bool AddMessage(const std::string& user, const std::string& name, const std::string& text);

  // The server's log so far.
  std::string LogText() const;

 private:
  void Start();

  std::string FFolder;
  std::uint16_t FPort;
  ChildProcess FServer;
  std::string FError;
};

}  // namespace halvorn::test
