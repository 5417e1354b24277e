#include "support/dovecot_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_support.h"

namespace halvorn::test {
namespace {

namespace fs = std::filesystem;

// The user the server's unprivileged processes run as: "nobody" for root,
// the caller itself otherwise.
struct RunAs {
  std::string User;
  std::string Group;
  uid_t Uid = 0;
  gid_t Gid = 0;
};

RunAs UnprivilegedUser() {
  RunAs r;
  const passwd* pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
  if (pw == nullptr) return r;
  r.User = pw->pw_name;
  r.Uid = pw->pw_uid;
  r.Gid = pw->pw_gid;
  const group* gr = ::getgrgid(pw->pw_gid);
  r.Group = gr != nullptr ? gr->gr_name : r.User;
  return r;
}

void Own(const fs::path& path, const RunAs& as) {
  if (::getuid() != 0) return;
  std::error_code ec;
  if (::chown(path.c_str(), as.Uid, as.Gid) != 0) return;
  if (fs::is_directory(path, ec))
    for (const auto& entry : fs::recursive_directory_iterator(path, ec))
      (void)::chown(entry.path().c_str(), as.Uid, as.Gid);
}

// Connects to 127.0.0.1:port and answers whether "+OK" arrives within the
// time-out.
bool Greets(std::uint16_t port, int timeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    pollfd p{fd, POLLIN, 0};
    char buf[64] = {};
    if (::poll(&p, 1, timeoutMs) > 0 && ::recv(fd, buf, sizeof buf - 1, 0) >= 3)
      ok = std::string(buf).rfind("+OK", 0) == 0;
    if (ok) (void)::send(fd, "QUIT\r\n", 6, MSG_NOSIGNAL);
  }
  ::close(fd);
  return ok;
}

}  // namespace

std::string DovecotBinary() {
  for (const char* path : {"/usr/sbin/dovecot", "/usr/bin/dovecot"})
    if (::access(path, X_OK) == 0) return path;
  return {};
}

DovecotServer::DovecotServer(std::uint16_t port, const std::vector<User>& users) : FPort(port) {
  if (DovecotBinary().empty()) {
    FError = "dovecot is not installed (package dovecot-pop3d)";
    return;
  }
  const RunAs as = UnprivilegedUser();
  if (as.User.empty()) {
    FError = "no unprivileged user to run dovecot as";
    return;
  }
  std::string pattern = (fs::temp_directory_path() / "halvorn-dovecot-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    FError = "mkdtemp failed";
    return;
  }
  FFolder = pattern;
  // The auth process (unprivileged) must read the users file.
  ::chmod(FFolder.c_str(), 0755);
  const fs::path root = FFolder;
  std::error_code ec;
  fs::create_directories(root / "run", ec);
  fs::create_directories(root / "state", ec);
  fs::create_directories(root / "mail", ec);
  std::string passwd;
  for (const User& u : users) {
    passwd += u.Name + ":{PLAIN}" + u.Password + "::::::\n";
    fs::create_directories(root / "mail" / u.Name / "new", ec);
    fs::create_directories(root / "mail" / u.Name / "cur", ec);
    fs::create_directories(root / "mail" / u.Name / "tmp", ec);
  }
  WriteFileBytes((root / "users").string(), passwd);
  ::chmod((root / "users").c_str(), 0644);
  Own(root / "mail", as);

  const std::string f = FFolder;
  const std::string config =
      "base_dir = " + f +
      "/run\n"
      "state_dir = " +
      f +
      "/state\n"
      "log_path = " +
      f +
      "/dovecot.log\n"
      "instance_name = halvorn-test-" +
      std::to_string(port) +
      "\n"
      "protocols = pop3\n"
      "listen = 127.0.0.1\n"
      "ssl = no\n"
      "disable_plaintext_auth = no\n"
      "auth_mechanisms = plain\n"
      "auth_failure_delay = 0\n"
      "default_login_user = " +
      as.User +
      "\n"
      "default_internal_user = " +
      as.User +
      "\n"
      "default_internal_group = " +
      as.Group +
      "\n"
      "first_valid_uid = 1\n"
      "mail_location = maildir:" +
      f +
      "/mail/%u\n"
      "pop3_uidl_format = %08Xu%08Xv\n"
      "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
      f +
      "/users\n}\n"
      "userdb {\n  driver = static\n  args = uid=" +
      std::to_string(as.Uid) + " gid=" + std::to_string(as.Gid) + " home=" + f +
      "/mail/%u\n}\n"
      "service pop3-login {\n  chroot =\n"
      "  inet_listener pop3 {\n    port = " +
      std::to_string(port) +
      "\n  }\n"
      "  inet_listener pop3s {\n    port = 0\n  }\n}\n"
      "service anvil {\n  chroot =\n"
      // No growing penalty after failed logins: tests log in badly on purpose.
      "  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
  WriteFileBytes((root / "dovecot.conf").string(), config);
  Start();
}

DovecotServer::~DovecotServer() {
  FServer.Stop(5000);
  if (!FFolder.empty()) {
    std::error_code ec;
    fs::remove_all(FFolder, ec);
  }
}

void DovecotServer::Start() {
  const std::string outPath = FFolder + "/stdout.log";
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ChildOptions options;
  options.StdoutFd = out;
  options.StderrFd = out;
  const bool started =
      FServer.Start({DovecotBinary(), "-F", "-c", FFolder + "/dovecot.conf"}, options);
  if (out >= 0) ::close(out);
  if (!started) {
    FError = "could not start dovecot: " + FServer.Error();
    return;
  }
  for (int i = 0; i < 100; ++i) {
    if (!FServer.Running()) {
      FError = "dovecot ended at start: " + ReadFileBytes(outPath) + LogText();
      return;
    }
    if (Greets(FPort, 200)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FError = "dovecot did not greet within 10 s: " + LogText();
}

bool DovecotServer::AddMessage(const std::string& user, const std::string& name,
                               const std::string& text) {
  const fs::path dir = fs::path(FFolder) / "mail" / user / "new";
  const fs::path tmp = fs::path(FFolder) / "mail" / user / "tmp" / name;
  if (!WriteFileBytes(tmp.string(), text)) return false;
  Own(tmp, UnprivilegedUser());
  std::error_code ec;
  fs::rename(tmp, dir / name, ec);
  return !ec;
}

std::string DovecotServer::LogText() const {
  return ReadFileBytes(FFolder + "/dovecot.log");
}

}  // namespace halvorn::test
