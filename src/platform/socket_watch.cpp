#include "platform/socket_watch.h"

#include <QSocketNotifier>

namespace halvorn::platform {

struct SocketWatch::Impl {
  QSocketNotifier Notifier;
  std::function<void()> OnReadable;
  Impl(int fd, std::function<void()> onReadable)
      : Notifier(fd, QSocketNotifier::Read), OnReadable(std::move(onReadable)) {}
};

SocketWatch::SocketWatch(int fd, std::function<void()> onReadable)
    : FImpl(std::make_unique<Impl>(fd, std::move(onReadable))) {
  Impl* impl = FImpl.get();
  QObject::connect(&impl->Notifier, &QSocketNotifier::activated, [impl]() {
    if (impl->OnReadable) impl->OnReadable();
  });
  impl->Notifier.setEnabled(true);
}

SocketWatch::~SocketWatch() {
  FImpl->Notifier.setEnabled(false);
}

void SocketWatch::SetEnabled(bool enabled) {
  FImpl->Notifier.setEnabled(enabled);
}

}  // namespace halvorn::platform
