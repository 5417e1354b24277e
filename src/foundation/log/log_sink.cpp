#include "foundation/log/log_sink.h"

#include <atomic>

namespace halvorn {
namespace {

std::atomic<TLogReceiver> GReceiver{nullptr};

}  // namespace

void Log(const std::string& service, const std::string& text, std::uint8_t detail, bool error) {
  if (TLogReceiver receiver = GReceiver.load()) receiver(service, text, detail, error);
}

void SetLogReceiver(TLogReceiver receiver) {
  GReceiver.store(receiver);
}

}  // namespace halvorn
