// The single-instance guard and the channel between two instances.
//
// The first instance of the program takes an exclusive flock on a lock file
// and listens on a local socket beside it; a second instance finds the lock
// taken, knows it is not alone, and delivers bare window messages (the
// restore request) to the first one's window through the socket. Both files
// live in $XDG_RUNTIME_DIR (the temporary folder when that is unset or not
// absolute, and also when the socket's path would be too long for a socket
// address), named "<name>.lock" and "<name>.sock".
//
// The lock is released by the kernel when the holder ends, however it ends,
// so a crashed instance never blocks the next start. Every descriptor here is
// close-on-exec: a child the program starts never keeps the lock or the
// listening socket after the program itself is gone.
//
// Wire form of one request, from the second instance:
//   "POST <class name> <message number>\n"   (at most 128 bytes)
// answered with "OK\n" when the message was posted to a window of that class
// in the first instance, or "NONE\n" when there is none; anything malformed
// is answered by closing the connection. Only message numbers from 0x400 to
// 0x7FFF (the user messages) are accepted, always with WParam and LParam 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class QLocalServer;

namespace halvorn::platform {

// The guard's name: title, user name and key joined by "-", with every byte
// other than a letter, digit, ".", "_" or "-" replaced by "_".
std::string MakeSingleInstanceName(const std::string& applicationTitle,
                                   const std::string& installDirKey);

// The folder the lock file and socket are placed in (see above), without a
// trailing "/"; created (0700) when missing.
std::string SingleInstanceFolder(const std::string& name);

class SingleInstanceGuard {
 public:
  // Names the guard; takes nothing yet. The name also becomes the channel
  // PostToWindowClass reaches other instances through.
  explicit SingleInstanceGuard(std::string name);
  // Stops listening, removes the socket file and releases the lock when held.
  ~SingleInstanceGuard();
  SingleInstanceGuard(const SingleInstanceGuard&) = delete;
  SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

  // Tries to become the one instance. True: this process now holds the lock
  // and, when a QCoreApplication exists, listens for other instances (on the
  // calling thread's event loop; call from the main thread). False: another
  // process holds the lock; AlreadyExists() then answers true. When the lock
  // file cannot be opened or locked at all, the program is let run alone:
  // true, with the reason in ErrorText(). A second call answers the first
  // call's result.
  bool Acquire();

  bool AlreadyExists() const { return FAlreadyExists; }
  bool Held() const { return FLockFd >= 0; }
  // Why the lock or the listening socket could not be set up; empty when all
  // went well.
  const std::string& ErrorText() const { return FErrorText; }
  const std::string& LockPath() const { return FLockPath; }
  const std::string& SocketPath() const { return FSocketPath; }
  // The held lock file's descriptor, -1 when not held (for inspection).
  int LockDescriptor() const { return FLockFd; }
  // The listening socket's descriptor, -1 when not listening.
  std::intptr_t ServerDescriptor() const;

 private:
  void StartServer();

  std::string FName;
  std::string FLockPath;
  std::string FSocketPath;
  std::string FErrorText;
  int FLockFd = -1;
  bool FAcquired = false;
  bool FAlreadyExists = false;
  std::unique_ptr<QLocalServer> FServer;
};

// Delivers the bare message to the window of that class in the instance
// holding the guard of that name. Waits at most timeoutMs in all (connecting
// is retried while the lock is held but the socket is not yet listening).
// True when the other instance answered that it posted the message; false
// when no instance holds the guard, none answers in time, or it has no such
// window. Safe from any thread; needs no event loop.
bool PostToInstance(const std::string& name, const std::string& className, std::uint32_t msg,
                    int timeoutMs);

// Posts the bare message to the first window of that class: in this process
// when one is registered (window_messages.h), else in the instance holding
// the guard named by the last SingleInstanceGuard made in this process
// (waiting up to 2000 ms). A process that holds that guard itself never
// contacts itself. True when the message was posted. Safe from any thread.
bool PostToWindowClass(const std::string& className, std::uint32_t msg);

}  // namespace halvorn::platform
