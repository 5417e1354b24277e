#include "platform/termination_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/socket_watch.h"

namespace halvorn::platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's ends; -1 until installed. The write end is read by the handler.
std::atomic<int> GWriteFd{-1};
int GReadFd = -1;

void OnSignal(int signal) {
  const int savedErrno = errno;
  const int fd = GWriteFd.load();
  if (fd >= 0) {
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe loses the signal; a hundred pending stops say no more
    // than one.
    [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
  }
  errno = savedErrno;
}

bool Install() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  GReadFd = fds[0];
  GWriteFd.store(fds[1]);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals)
    if (::sigaction(signal, &action, nullptr) != 0) return false;
  return true;
}

}  // namespace

bool InstallTerminationSignals() {
  static const bool installed = Install();
  return installed;
}

struct TerminationSignalWatch::Impl {
  std::function<void(int)> OnSignal;
  std::unique_ptr<SocketWatch> Watch;

  void ReadAll() {
    unsigned char numbers[64];
    for (;;) {
      const ssize_t got = ::read(GReadFd, numbers, sizeof numbers);
      if (got <= 0) return;  // empty (EAGAIN) or closed
      for (ssize_t i = 0; i < got; ++i)
        if (OnSignal) OnSignal(numbers[i]);
    }
  }
};

TerminationSignalWatch::TerminationSignalWatch(std::function<void(int)> onSignal)
    : FImpl(std::make_unique<Impl>()) {
  FImpl->OnSignal = std::move(onSignal);
  if (GReadFd < 0) return;
  Impl* impl = FImpl.get();
  FImpl->Watch = std::make_unique<SocketWatch>(GReadFd, [impl] { impl->ReadAll(); });
}

TerminationSignalWatch::~TerminationSignalWatch() = default;

}  // namespace halvorn::platform
