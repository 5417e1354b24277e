// The interception library. Preloaded into a mail reader (LD_PRELOAD, through
// the wrapper command), it hooks connect(): a TCP connection to an IPv4
// address on port 110 (POP3) or 25 (SMTP) is first put to the running
// Halvorn, which answers with where the connection should go. Loaded by
// Halvorn itself (dlopen), it only serves the exported functions the program
// binds by name; nothing is hooked then.
//
// Built without sanitizers and linking nothing of the program, so it can be
// preloaded into any program. Every failure on the way (no key, no Halvorn
// listening, a broken answer, no answer within 60 s) lets the connection go
// through unchanged: the library must never cost a program its connection.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/lsp/lsp_protocol.h"

namespace {

using namespace halvorn::lsp;

using ConnectFn = int (*)(int, const struct sockaddr*, socklen_t);

// The record the program's handler reads and overwrites (in the program's own
// process, where the library is loaded with dlopen).
alignas(8) std::uint8_t gRedirectRecord[16] = {2, 0};

// The key given by the program (QuorSetKey); else the environment's.
char gKey[65] = {};
std::atomic<bool> gKeySet{false};

// The ignore-pid slot mapped in this process (by GetIgnore_Pid).
std::uint32_t* gIgnoreSlot = nullptr;
char gIgnoreSlotKey[65] = {};

thread_local bool tInHook = false;

ConnectFn RealConnect() {
  static std::atomic<ConnectFn> real{nullptr};
  ConnectFn fn = real.load();
  if (fn == nullptr) {
    fn = reinterpret_cast<ConnectFn>(dlsym(RTLD_NEXT, "connect"));
    real.store(fn);
  }
  return fn;
}

std::string CurrentKey() {
  if (gKeySet.load()) return gKey;
  const char* key = getenv(kKeyVariable);
  if (key == nullptr) return {};
  std::string result = key;
  return IsValidKey(result) ? result : std::string();
}

// The pid in the shared slot, 0 when there is none. Mapped only for the read
// so a program that forks keeps nothing.
std::uint32_t IgnoredPid(const std::string& key) {
  int fd = shm_open(IgnorePidName(key).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return 0;
  std::uint32_t pid = 0;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(pid))) {
    void* map = mmap(nullptr, sizeof(pid), PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      pid = __atomic_load_n(static_cast<std::uint32_t*>(map), __ATOMIC_SEQ_CST);
      munmap(map, sizeof(pid));
    }
  }
  close(fd);
  return pid;
}

// Opens a connection to the program's socket; -1 when nobody listens.
int OpenChannel(const std::string& key) {
  std::string path = SocketPath(key);
  struct sockaddr_un address {};
  if (path.size() >= sizeof(address.sun_path)) return -1;
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A listener whose backlog is full would make the connect wait: cap it.
  struct timeval limit {
    5, 0
  };
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  if (RealConnect()(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly size bytes before the deadline; false on time-out, end or
// error.
bool ReadAll(int fd, void* data, size_t size, std::int64_t deadline) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ReceiveBefore(fd, p, size, deadline);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

TLspRequest MakeRequest(std::uint8_t kind, const struct sockaddr_in& destination) {
  TLspRequest request;
  request.Kind = kind;
  request.ProcessId = static_cast<std::uint32_t>(getpid());
  std::uint16_t family = AF_INET;
  memcpy(request.Destination, &family, 2);
  memcpy(request.Destination + 2, &destination.sin_port, 2);
  memcpy(request.Destination + 4, &destination.sin_addr.s_addr, 4);
  return request;
}

void SendTestAck(const std::string& key, const struct sockaddr_in& destination) {
  int fd = OpenChannel(key);
  if (fd < 0) return;
  TLspRequest request = MakeRequest(kKindTestAck, destination);
  WriteAll(fd, &request, sizeof(request));
  close(fd);
}

// Asks the program; true with the answer record when one came in time.
bool Ask(const std::string& key, std::uint8_t kind, const struct sockaddr_in& destination,
         std::uint8_t answer[16]) {
  int fd = OpenChannel(key);
  if (fd < 0) return false;
  TLspRequest request = MakeRequest(kind, destination);
  bool ok = WriteAll(fd, &request, sizeof(request)) &&
            ReadAll(fd, answer, 16, MonotonicMs() + kAnswerTimeOutMs);
  close(fd);
  return ok;
}

int HookedConnect(int fd, const struct sockaddr* address, socklen_t length) {
  ConnectFn real = RealConnect();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (tInHook || address == nullptr || length < static_cast<socklen_t>(sizeof(sockaddr_in)) ||
      address->sa_family != AF_INET)
    return real(fd, address, length);
  struct sockaddr_in original {};
  memcpy(&original, address, sizeof(original));
  std::uint16_t port = ntohs(original.sin_port);
  if (port != 110 && port != 25) return real(fd, address, length);
  int type = 0;
  socklen_t typeLength = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
    return real(fd, address, length);

  tInHook = true;
  int savedErrno = errno;
  std::string key = CurrentKey();
  std::uint8_t answer[16] = {};
  bool answered = false;
  if (!key.empty() && IgnoredPid(key) != static_cast<std::uint32_t>(getpid())) {
    // A connect to 0.0.0.0:110 is the program's interception self-test.
    if (port == 110 && original.sin_addr.s_addr == 0) SendTestAck(key, original);
    answered = Ask(key, port == 110 ? kKindPop : kKindSmtp, original, answer);
  }
  tInHook = false;
  errno = savedErrno;
  if (!answered) return real(fd, address, length);

  struct sockaddr_in target {};
  target.sin_family = AF_INET;
  memcpy(&target.sin_port, answer + 2, 2);
  memcpy(&target.sin_addr.s_addr, answer + 4, 4);
  if (target.sin_port == 0 && target.sin_addr.s_addr == 0) {
    errno = ECONNREFUSED;  // blocked
    return -1;
  }
  if (target.sin_port == original.sin_port && target.sin_addr.s_addr == original.sin_addr.s_addr)
    return real(fd, address, length);
  if ((ntohl(target.sin_addr.s_addr) >> 24) == 127) {
    // Redirected to a local server: the source address carries the mapping
    // key, the server listens on 127.0.0.1.
    struct sockaddr_in source {};
    source.sin_family = AF_INET;
    source.sin_addr = target.sin_addr;
    bind(fd, reinterpret_cast<struct sockaddr*>(&source), sizeof(source));
    errno = savedErrno;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  return real(fd, reinterpret_cast<struct sockaddr*>(&target), sizeof(target));
}

// The folder this library file lives in, with a trailing "/"; empty when
// unknown.
std::string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&HookedConnect), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string path = info.dli_fname;
  char resolved[4096];
  if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool WriteFileReplacing(const std::string& path, const std::string& text, mode_t mode) {
  std::string temp = path + ".new" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = true;
  const char* data = text.data();
  size_t left = text.size();
  while (ok && left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      data += n;
      left -= static_cast<size_t>(n);
    }
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok && fchmodat(AT_FDCWD, temp.c_str(), mode, 0) == 0;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

const char* kWrapperScript =
    "#!/bin/sh\n"
    "# Starts a program with Halvorn's interception library preloaded, so its\n"
    "# POP3 and SMTP connections are put to the running Halvorn first.\n"
    "# Usage: halvorn-intercept PROGRAM [ARGUMENTS...]\n"
    "dir=$(dirname \"$(readlink -f \"$0\")\")\n"
    "if [ -z \"$HALVORN_LSP_KEY\" ] && [ -r \"$dir/QuorLspV6.key\" ]; then\n"
    "  HALVORN_LSP_KEY=$(cat \"$dir/QuorLspV6.key\")\n"
    "fi\n"
    "LD_PRELOAD=\"$dir/libQuorLspV6.so${LD_PRELOAD:+ $LD_PRELOAD}\"\n"
    "export HALVORN_LSP_KEY LD_PRELOAD\n"
    "exec \"$@\"\n";

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int connect(int fd, const struct sockaddr* address,
                                                   socklen_t length) {
  return HookedConnect(fd, address, length);
}

__attribute__((visibility("default"))) int Version() {
  return kLibraryVersion;
}

__attribute__((visibility("default"))) void* GetRedirect_addr() {
  return gRedirectRecord;
}

// Our own addition: the program gives its install-folder key once it has
// loaded the library, so the slot and the wrapper's key file use it.
__attribute__((visibility("default"))) void QuorSetKey(const char* key) {
  if (key == nullptr || !IsValidKey(key)) return;
  snprintf(gKey, sizeof(gKey), "%s", key);
  gKeySet.store(true);
}

// The shared slot, created when missing (0 until the program writes its pid).
// Null without a key or when the shared memory cannot be made.
__attribute__((visibility("default"))) void* GetIgnore_Pid() {
  std::string key = CurrentKey();
  if (key.empty()) return nullptr;
  if (gIgnoreSlot != nullptr && key == gIgnoreSlotKey) return gIgnoreSlot;
  int fd = shm_open(IgnorePidName(key).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(std::uint32_t)) &&
                              ftruncate(fd, sizeof(std::uint32_t)) != 0)) {
    close(fd);
    return nullptr;
  }
  void* map = mmap(nullptr, sizeof(std::uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  // A slot of an earlier key stays mapped: callers may still hold it.
  gIgnoreSlot = static_cast<std::uint32_t*>(map);
  snprintf(gIgnoreSlotKey, sizeof(gIgnoreSlotKey), "%s", key.c_str());
  return gIgnoreSlot;
}

// Installed: this library and the wrapper command stand together.
__attribute__((visibility("default"))) int QuorInstalled() {
  std::string folder = OwnFolder();
  if (folder.empty()) return 0;
  return access((folder + kLibraryFileName).c_str(), R_OK) == 0 &&
                 access((folder + kWrapperFileName).c_str(), X_OK) == 0
             ? 1
             : 0;
}

// Puts the wrapper command (and the key file it reads) beside the library.
// 1 when done ("installed, restart" to the caller), 0 on failure.
__attribute__((visibility("default"))) int InstallQuor() {
  std::string folder = OwnFolder();
  if (folder.empty()) return 0;
  if (!WriteFileReplacing(folder + kWrapperFileName, kWrapperScript, 0755)) return 0;
  std::string key = CurrentKey();
  if (!key.empty() && !WriteFileReplacing(folder + kKeyFileName, key + "\n", 0644)) return 0;
  return 1;
}

// Removes the wrapper command: programs started afterwards are not
// intercepted. 1 when it is gone.
__attribute__((visibility("default"))) int UninstallQuor(int /*flags*/) {
  std::string folder = OwnFolder();
  if (folder.empty()) return 0;
  std::string wrapper = folder + kWrapperFileName;
  return (unlink(wrapper.c_str()) == 0 || errno == ENOENT) ? 1 : 0;
}

__attribute__((visibility("default"))) int ConfirmCurrentVersion() {
  return kLibraryVersion;
}

}  // extern "C"
