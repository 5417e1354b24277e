// The installation's link key: the secret every local link and every form of
// the local web server carries, so that only pages this installation wrote
// (and not another page the browser shows, nor another machine) can make the
// server act.
//
// The key is 128 bits from the system's random source (getrandom), written as
// 32 lower-case hexadecimal digits and kept in the registry file ("HttpServer",
// "LinkKey"; the file is mode 0600). It is made at the first start and read
// once (LoadLinkKey) before any worker or link uses it; a stored value that is
// not 32 hexadecimal digits is replaced and the replacement logged.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The query and form name of the key.
inline constexpr const char* kLinkKeyName = "LinkKey";

// Reads the key from the registry file, making and storing a new one when
// there is none or it is malformed. Call once at start-up, before other
// threads run; later calls answer the key already loaded. Never fails: when
// the key cannot be stored it still serves this run (logged), and links of
// the next run will not match.
const std::string& LoadLinkKey();

// The loaded key (LoadLinkKey on first use). Safe from any thread after the
// first call has returned.
const std::string& GetLinkKey();

// Compares a presented key with ours in constant time (for keys of our
// length). False for an empty or differently sized text.
bool LinkKeyMatches(std::string_view presented);

// 32 hexadecimal digits of fresh randomness from getrandom(2). Throws
// std::runtime_error when the system's random source fails.
std::string MakeLinkKey();

// Test seam: replaces the loaded key (an empty text forgets it, so the next
// GetLinkKey loads again). Not for use while other threads read the key.
void SetLinkKeyForTesting(const std::string& key);

}  // namespace halvorn
