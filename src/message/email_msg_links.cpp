#include "message/email_msg_links.h"

#include <mutex>
#include <utility>

#include "message/body_restructuring.h"

namespace halvorn {

namespace {

std::mutex gLinksMutex;
TMessageRepositoryLookup gRepositoryLookup;
std::shared_ptr<TBodyRestructuring> gRestructuring;

}  // namespace

void SetMessageRepositoryLookup(TMessageRepositoryLookup lookup) {
  std::lock_guard<std::mutex> lock(gLinksMutex);
  gRepositoryLookup = std::move(lookup);
}

TMessageRepositoryBase* FindMessageRepository(const std::string& userName) {
  TMessageRepositoryLookup lookup;
  {
    std::lock_guard<std::mutex> lock(gLinksMutex);
    lookup = gRepositoryLookup;
  }
  return lookup ? lookup(userName) : nullptr;
}

void SetBodyRestructuring(std::shared_ptr<TBodyRestructuring> restructuring) {
  std::lock_guard<std::mutex> lock(gLinksMutex);
  gRestructuring = std::move(restructuring);
}

std::shared_ptr<TBodyRestructuring> GetBodyRestructuring() {
  {
    std::lock_guard<std::mutex> lock(gLinksMutex);
    if (gRestructuring) return gRestructuring;
  }
  return MessageBodyRestructuring();
}

}  // namespace halvorn
