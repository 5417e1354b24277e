// Calls a function whenever a socket of ours has data (or a connection) to
// take, from the event loop of the thread that made the watch. Lets code
// outside the platform layer serve a socket on the main thread without a
// thread of its own and without Qt in its headers.
#pragma once

#include <functional>
#include <memory>

namespace halvorn::platform {

class SocketWatch {
 public:
  // Watches the descriptor for reading. The caller keeps owning the
  // descriptor and must destroy the watch before closing it. Create and
  // destroy the watch on a thread that runs a Qt event loop.
  SocketWatch(int fd, std::function<void()> onReadable);
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // A disabled watch calls nothing until it is enabled again (events that
  // come meanwhile wait in the socket).
  void SetEnabled(bool enabled);

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace halvorn::platform
