// The large free-mail and web-mail providers the message model knows by name.
//
// The web-mail accounts of the first service carry the pseudo-host "Hotmail"
// and those of the second "msn"; a mailbox of either is its user id, "@" and
// the service's mail domain.
//
// The message checksums know two free-mail providers: the body-URL checksums
// skip links into either, the text and HTML footers of the first and the
// advertising tagline of the second are cut off before the body sentences
// are hashed. Other installations must skip and cut the same, so these texts
// are part of the checksums' definition.
#pragma once

#include <array>
#include <string_view>

namespace halvorn {

// The mail domain of the first web-mail service (pseudo-host "Hotmail").
inline constexpr std::string_view kHotmailMailDomain = "hotmail.com";
// The mail domain of the second web-mail service (pseudo-host "msn").
inline constexpr std::string_view kMsnMailDomain = "msn.com";

// The mail domain of the second free-mail provider, and the host suffix of
// its web-mail servers (the rule catalogue knows its relays and message ids).
inline constexpr std::string_view kYahooMailDomain = "yahoo.com";
inline constexpr std::string_view kYahooWebMailHostSuffix = "mail.yahoo.com";

// The pseudo-hosts that make a remote account a web-mail account.
inline constexpr std::string_view kHotmailPseudoHost = "Hotmail";
inline constexpr std::string_view kMsnPseudoHost = "msn";

// The free-mail providers' domains, the first web-mail service first (its
// footers are the ones cut off).
inline constexpr std::array<std::string_view, 2> kFreeMailDomains = {kHotmailMailDomain,
                                                                     kYahooMailDomain};
// The second provider's name as its tagline ("Do you " + name + "!?") gives it.
inline constexpr std::string_view kFreeMailTaglineName = "Yahoo";

}  // namespace halvorn
