// The large free-mail and web-mail providers the message model knows by name.
//
// The web-mail accounts of the first service carry the pseudo-host "Hotmail"
// and those of the second "msn"; a mailbox of either is its user id, "@" and
// the service's mail domain. The message checksums add their own list of
// free-mail providers here, with the first web-mail domain as its first entry.
#pragma once

#include <string_view>

namespace halvorn {

// The mail domain of the first web-mail service (pseudo-host "Hotmail").
inline constexpr std::string_view kHotmailMailDomain = "hotmail.com";
// The mail domain of the second web-mail service (pseudo-host "msn").
inline constexpr std::string_view kMsnMailDomain = "msn.com";

// The pseudo-hosts that make a remote account a web-mail account.
inline constexpr std::string_view kHotmailPseudoHost = "Hotmail";
inline constexpr std::string_view kMsnPseudoHost = "msn";

}  // namespace halvorn
