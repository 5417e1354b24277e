// The table of registration suffixes RegisteredDomain searches: suffixes
// under which names are registered ("co.uk", "com.au", "ac.jp"), of two labels
// but for a few of three ("ltd.co.im"), lower-case, without a leading ".".
// Country-code ones come first, grouped by country code (a three-label suffix
// after the two-label one it ends with, so that one matches first), then those
// under generic top-level domains, then the special-purpose ones. Generated once from public data and kept as source
// (registration_suffixes.cpp); the build never reads the host's copy.
#pragma once

#include <span>
#include <string_view>

namespace halvorn {

// The entries in search order. Constant; safe from any thread.
std::span<const std::string_view> RegistrationSuffixes();

}  // namespace halvorn
