// The phishing heuristic of the flagship test: the marks of a message that
// claims to come from a bank, a payment service or a large vendor. A sender
// domain the delivery path does not confirm, images and forms served from
// elsewhere, and links whose visible text misleads each add a finding line
// and points. When anything was found, the lines (headed by a verdict that
// depends on the points, followed by a link that reports the message as a
// hoax) go to the end of the message's GeneralInfo report section, and half
// the points are added to the caller's hoax score.
//
// Only web links (http, https and ftp targets) are examined: a "mailto:"
// anchor or a relative link is no deceptive link. A look-alike address is a
// link with the sender's domain right after a character other than ".",
// "/" and "@" and before a "/" ("http://secure-paypal.com/"); the domain
// itself, behind "//", a user part or a further label, is not one.
//
// Errors reach the caller. Safe on the thread that judges the message; the
// message's lock is held only while its parts are read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn {

class TEmailMsg;

// The payment service the first checks look for, and its name in the lines.
inline constexpr const char* kPaymentDomain = "paypal.com";

// One of the message's 20 oldest Received lines (counted from the bottom of
// its header) contains the text, ignoring case.
bool ReceivedLinesContain(TEmailMsg& msg, std::string_view text);

// Runs the heuristic on the message. `hoaxScore` (0 to 100, 50 meaning no
// evidence yet) grows by half the points found, to at most 100; `owner`
// goes into the report link's "UserId". Nothing changes when nothing was
// found, nor for a message without a "From".
void CheckPhishing(TEmailMsg& msg, std::int32_t& hoaxScore, const std::string& owner);

// Whether the link target looks like the domain without being it: the
// domain (ignoring case) followed by "/" right after a character other than
// ".", "/" and "@".
bool LooksLikeDomain(std::string_view target, std::string_view domain);

}  // namespace halvorn
