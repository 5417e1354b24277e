// The table of registration suffixes RegisteredDomain searches: two-label
// suffixes under which names are registered ("co.uk", "com.au", "ac.jp"),
// lower-case, without a leading ".". Country-code ones come first, grouped by
// country code, then those under generic top-level domains, then the
// special-purpose ones. Generated once from public data and kept as source
// (registration_suffixes.cpp); the build never reads the host's copy.
#pragma once

#include <span>
#include <string_view>

namespace halvorn {

// The entries in search order. Constant; safe from any thread.
std::span<const std::string_view> RegistrationSuffixes();

}  // namespace halvorn
