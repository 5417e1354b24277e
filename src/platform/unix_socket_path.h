// The one length check for the names of the Unix sockets the program makes.
// A socket address holds at most 107 bytes of path; a longer name cannot be
// bound or reached, and the kernel would only say "invalid argument".
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <string>

namespace halvorn::platform {

inline constexpr std::size_t kMaxUnixSocketPath = sizeof(sockaddr_un{}.sun_path) - 1;

// Empty when the path fits a socket address; otherwise the error text to log,
// naming the path: "Socket path too long (<n> bytes, at most 107): <path>".
inline std::string UnixSocketPathError(const std::string& path) {
  if (path.size() <= kMaxUnixSocketPath) return {};
  return "Socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
         std::to_string(kMaxUnixSocketPath) + "): " + path;
}

}  // namespace halvorn::platform
