// What the interception library and the program say to each other over the
// program's Unix socket, and where that socket and the shared ignore-pid slot
// live. Included by the library (which links nothing of the program) and by
// the program's listener, so both sides compute the same names.
//
// Names: the socket is <runtime folder>/halvorn-lsp-<key>.sock, the shared
// memory object "/halvorn-lsp-ignore-<key>", where <key> is the install-folder
// key of the program instance. The runtime folder is $XDG_RUNTIME_DIR when it
// is an absolute path, else $TMPDIR when absolute, else "/tmp". A preloaded
// library learns the key from the environment variable HALVORN_LSP_KEY (set
// by the wrapper command from the key file beside it, or by the program for
// its own probe processes); without a key it never asks anybody.
//
// One request per connection: the library writes a TLspRequest and, except
// for a test acknowledgement, reads back a 16-byte socket address: the
// redirect record as the program's handler left it.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace halvorn::lsp {

inline constexpr std::uint32_t kRequestMagic = 0x5053'4c51;  // "QLSP"
inline constexpr std::uint8_t kKindSmtp = 1;
inline constexpr std::uint8_t kKindPop = 2;
inline constexpr std::uint8_t kKindTestAck = 3;

// The library's version: the program's interception check needs 6.
inline constexpr int kLibraryVersion = 6;

// Wait for the program's answer; after it the connection goes through
// unchanged.
inline constexpr int kAnswerTimeOutMs = 60000;

inline constexpr const char* kKeyVariable = "HALVORN_LSP_KEY";
inline constexpr const char* kLibraryFileName = "libQuorLspV6.so";
inline constexpr const char* kWrapperFileName = "halvorn-intercept";
inline constexpr const char* kProbeFileName = "halvorn-lsp-probe";
inline constexpr const char* kKeyFileName = "QuorLspV6.key";

#pragma pack(push, 1)
struct TLspRequest {
  std::uint32_t Magic = kRequestMagic;
  std::uint8_t Kind = 0;
  std::uint8_t Reserved[3] = {};
  std::uint32_t ProcessId = 0;
  std::uint8_t Destination[16] = {};  // IPv4 socket address, network byte order
};
#pragma pack(pop)
static_assert(sizeof(TLspRequest) == 28);

inline std::string RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return runtime;
  const char* temp = std::getenv("TMPDIR");
  if (temp != nullptr && temp[0] == '/') return temp;
  return "/tmp";
}

inline std::string SocketPath(const std::string& key) {
  return RuntimeFolder() + "/halvorn-lsp-" + key + ".sock";
}

inline std::string IgnorePidName(const std::string& key) {
  return "/halvorn-lsp-ignore-" + key;
}

// A key is safe in a file or object name: 1 to 64 letters, digits, '-', '_'.
inline bool IsValidKey(const std::string& key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Milliseconds of the monotonic clock, for deadlines.
inline std::int64_t MonotonicMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Receives what is there (at most size bytes) once the socket is readable
// before the deadline. Answers the byte count; 0 at the end of the stream,
// on a time-out or an error.
inline ssize_t ReceiveBefore(int fd, void* data, size_t size, std::int64_t deadline) {
  for (;;) {
    std::int64_t left = deadline - MonotonicMs();
    if (left <= 0) return 0;
    struct pollfd pfd {
      fd, POLLIN, 0
    };
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

}  // namespace halvorn::lsp
