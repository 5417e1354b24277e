#include "message/dnsrbl_lookup.h"

#include <mutex>
#include <utility>

namespace halvorn {

namespace {

// Holds no queries: what a message gets before the block-list services are
// there.
class TEmptyDnsrblLookup : public TAsynchDNSRBLLookupBase {
 public:
  void Clear() override {}
};

std::mutex gFactoryMutex;
TDnsrblLookupFactory gFactory;

}  // namespace

void SetDnsrblLookupFactory(TDnsrblLookupFactory factory) {
  std::lock_guard<std::mutex> lock(gFactoryMutex);
  gFactory = std::move(factory);
}

std::unique_ptr<TAsynchDNSRBLLookupBase> NewDnsrblLookup() {
  TDnsrblLookupFactory factory;
  {
    std::lock_guard<std::mutex> lock(gFactoryMutex);
    factory = gFactory;
  }
  std::unique_ptr<TAsynchDNSRBLLookupBase> lookup;
  if (factory) lookup = factory();
  if (!lookup) lookup = std::make_unique<TEmptyDnsrblLookup>();
  return lookup;
}

}  // namespace halvorn
