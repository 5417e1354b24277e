// This machine's host name and the names and addresses of other hosts.
#pragma once

#include <string>

namespace halvorn {

// This machine's host name as the system reports it (asked with a 256-byte
// buffer). The answer is cached; while the cache is still empty or
// "LocalHost" the system is asked again, so a name that becomes available
// later is picked up. Never empty: "LocalHost" when the system gives no name.
// Safe from any thread.
std::string GetHostNameOrLocal();

// The fixed name "LocalHost".
std::string LocalHostName();

}  // namespace halvorn
