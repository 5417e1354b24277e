// The per-message container of DNS block-list queries.
//
// The block-list tests keep the queries they started for a message in one
// object that the message owns, creates on first use and frees with itself.
// The message calls nothing on it but Clear; what it holds and how it looks
// hosts up belongs to the lists and reputation services, which install their
// own kind with SetDnsrblLookupFactory. Until they do, the message gets an
// empty container.
#pragma once

#include <functional>
#include <memory>

namespace halvorn {

class TAsynchDNSRBLLookupBase {
 public:
  virtual ~TAsynchDNSRBLLookupBase() = default;
  // Frees every query.
  virtual void Clear() = 0;
};

using TDnsrblLookupFactory = std::function<std::unique_ptr<TAsynchDNSRBLLookupBase>()>;

// Installs the maker of new containers (an empty function installs the
// empty container). Call it at module start-up, before messages ask.
void SetDnsrblLookupFactory(TDnsrblLookupFactory factory);

// A new, empty container of the installed kind. Safe from any thread.
std::unique_ptr<TAsynchDNSRBLLookupBase> NewDnsrblLookup();

}  // namespace halvorn
