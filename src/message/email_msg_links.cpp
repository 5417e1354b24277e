#include "message/email_msg_links.h"

#include <mutex>
#include <utility>

namespace halvorn {

namespace {

std::mutex gLinksMutex;
TMessageRepositoryLookup gRepositoryLookup;
std::shared_ptr<TBodyRestructuring> gRestructuring;

// What a message gets before the body restructuring is installed.
class TNoRestructuring : public TBodyRestructuring {
 public:
  void EnsureTextPart(TEmailMsg&) override {}
  void AnalyzeTextParts(TEmailMsg&) override {}
};

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
  static const std::shared_ptr<TBodyRestructuring> none = std::make_shared<TNoRestructuring>();
  std::lock_guard<std::mutex> lock(gLinksMutex);
  return gRestructuring ? gRestructuring : none;
}

}  // namespace halvorn
