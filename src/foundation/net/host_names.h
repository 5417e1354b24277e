// This machine's host name, IPv4 addresses as numbers and texts, host-name
// look-ups, and judgements of host names found in Received lines.
//
// An IPv4 number is 32 bits laid out as the address goes on the wire: the
// first byte of the dotted form is the lowest-addressed byte, so 127.0.0.1 is
// stored as the bytes 127, 0, 0, 1. The number 0 means "no address" wherever
// an operation answers a single address.
//
// Look-ups go through the system resolver (IPv4 only, /etc/hosts and DNS as
// the system is set up), each on a helper thread of its own so that the
// caller's time-out holds even when the resolver hangs. A helper whose caller
// gave up finishes on its own when the resolver answers (the resolver's own
// time-outs bound that) and its answer is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// The outcome of every host and DNS look-up.
enum TDNSResult : int {
  dns_NoError = 0,
  dns_NoContactServer = 1,
  dns_BadResultReturned = 2,
  dns_Timeout = 3,
  dns_InternalError = 4,
  dns_NotPerformed = 5,
};

// Socket-error codes the look-ups report (the numbers the rest of the program
// stores and compares).
constexpr int kSockErrNetworkDown = 10050;
constexpr int kSockErrTimedOut = 10060;
constexpr int kSockErrHostDown = 10064;
constexpr int kSockErrInProgress = 10036;
constexpr int kSockErrHostNotFound = 11001;
constexpr int kSockErrTryAgain = 11002;
constexpr int kSockErrNoRecovery = 11003;
constexpr int kSockErrNoData = 11004;

// The socket-error code of a look-up mapped to its result, and back. "Host not
// found" and "no data" are no failure: the look-up worked and found nothing.
TDNSResult SocketErrorToDNSResult(int code);
int DNSResultToSocketError(int result);

// The addresses a look-up found, in the resolver's order.
using TInAddrArray = std::vector<std::uint32_t>;

// ---------------------------------------------------------------------------
// Numbers and texts. None of these raises; invalid texts give 0 or false.

// The four bytes in decimal from the first, joined by "." ("127.0.0.1").
std::string IPToStr(std::uint32_t address);
std::string IPToStr2(std::uint32_t address);

// The number of a dotted address text; 0 when the text is no valid address.
// One to four parts separated by "." (a single trailing "." is ignored, an
// empty part makes the text invalid). A part is decimal when it starts with a
// digit other than "0" or with a sign, hexadecimal when it starts with "0x"
// (lower-case x) and has digits after it, otherwise octal when it starts with
// "0". One part gives the whole 32 bits, most significant byte first; with
// two parts the second fills three bytes (0 to 16777215); with three the
// third fills two bytes (0 to 65535); with four each is a byte. Unlike the C
// library's inet_aton, nothing may follow the number (no blanks, no junk),
// "0X" is not taken for hexadecimal, a trailing "." is accepted, and a
// hexadecimal part must consist of hexadecimal digits and fit in 32 bits.
std::uint32_t StrToIP(const std::string& text);

// The text is a valid address by the rules of StrToIP ("0.0.0.0" included,
// although StrToIP answers 0 for it).
bool IsIPAddress(const std::string& text);

// The "."-separated labels in reverse order; empty labels keep their reversed
// places; an empty text stays empty.
std::string ReverseDottedLabels(const std::string& text);

// The four bytes from the last to the first ("4.3.2.1" for 1.2.3.4), the form
// of a block-list query.
std::string IPToReversedText(std::uint32_t address);

// The number of up to 8 hexadecimal digits, most significant first ("000000FF"
// is 255): the text is padded on the left with "0" to 8 characters (longer
// texts keep their first 8), and each of the four pairs is read as a byte, a
// pair that is not hexadecimal counting as 0. The answer is the plain number,
// not an address in wire order (IPToStr of it shows the bytes reversed on
// this machine).
std::uint32_t HexToIP(const std::string& text);

// The two bytes of a 16-bit value exchanged (a port between wire order and
// the machine's).
std::uint16_t SwapBytes16(std::uint16_t value);

// The address lies from low to high inclusive, compared with the first byte
// most significant. Also true when low is "0.0.0.0" and the address equals
// high, or high is "0.0.0.0" and the address equals low. False when any of
// the three texts is no valid address.
bool IsIPInRange(const std::string& address, const std::string& low, const std::string& high);

// 127.x.y.z with x, y and z each drawn at random from 0 to 254.
std::uint32_t RandomLoopbackAddress();

// ---------------------------------------------------------------------------
// Look-ups. Safe from any thread; each call blocks its caller for at most its
// time-out (plus the time to start a thread).

// Looks the name up: clears both outputs, then appends every address and
// every alias the resolver gives. "Host not found" answers dns_NoError with no
// address; no answer within `timeoutMs` answers dns_Timeout (a time-out below
// 1 ms answers it at once without asking). The own host name and "LocalHost"
// are answered from the cache once a look-up of them succeeded, with
// dns_NotPerformed.
TDNSResult LookupHostAddresses(const std::string& name, TInAddrArray& addresses,
                               TStringList& aliases, int timeoutMs);

// A valid dotted address with a non-zero number is converted directly
// (dns_NoError); otherwise LookupHostAddresses, `address` being the first
// address found (0 when none).
TDNSResult ResolveHostAddress(const std::string& name, std::uint32_t& address, int timeoutMs);
// ResolveHostAddress found a non-zero number.
bool ResolveHost(const std::string& name, std::uint32_t& address, int timeoutMs);
// The number ResolveHostAddress finds; 0 when none.
std::uint32_t HostToIP(const std::string& name, int timeoutMs);

// A look-up the caller drives itself: StartHostLookup, then PollHostLookup
// until it answers true, then EndHostLookup. Opaque.
struct THostLookup;

// Starts a look-up of the name. With `shared` the look-up goes to the one
// shared slot (replacing the look-up it held) and no handle is returned
// (`handle` becomes null). Otherwise `handle` receives a new look-up that the
// caller must give to EndHostLookup. False when no look-up could be started
// (`handle` is null then).
bool StartHostLookup(const std::string& name, THostLookup*& handle, bool shared);

// Never blocks. True when the look-up has finished: its addresses and aliases
// are appended to the outputs and `code` holds its socket-error code (0 on
// success, 11001 when the host was not found). While it runs: false and code
// -1. A null handle counts as finished with code 10050.
bool PollHostLookup(THostLookup* handle, TInAddrArray& addresses, TStringList& aliases, int& code);

// Frees the look-up; a resolver still running for it finishes on its own and
// its answer is dropped. A null handle does nothing.
void EndHostLookup(THostLookup* handle);

// ---------------------------------------------------------------------------
// This machine.

// This machine's host name as the system reports it (asked with a 256-byte
// buffer). The answer is cached; while the cache is still empty or
// "LocalHost" the system is asked again, so a name that becomes available
// later is picked up. Never empty: "LocalHost" when the system gives no name.
// Safe from any thread.
std::string GetHostNameOrLocal();

// The fixed name "LocalHost".
std::string LocalHostName();

// The address is this machine's: a 127.x.x.x address, the address of
// "LocalHost" or of the own host name (each looked up once with 5000 ms; a
// look-up that found nothing is remembered too, so a machine whose name does
// not resolve pays for it once, not at every call), or OwnIPAddress when set.
// Safe from any thread.
bool IsLocalHost(std::uint32_t address);

// The dotted text is this machine's address: false for a text that is no
// dotted address; true for one that starts with "127"; otherwise compared as
// text with the dotted addresses of the own host name and of "LocalHost"
// (looked up as for IsLocalHost).
bool IsLocalHostAddress(const std::string& text);

// Module end, and tests: drops the shared look-up and forgets the cached host
// name and the cached addresses (and failures) of the own host and
// "LocalHost".
void FinalizeHostNames();

// ---------------------------------------------------------------------------
// Judging names.

// Lower-cased: longer than 3 characters, not starting with ".", containing
// "." but not "..", only lower-case letters, digits, ".", "-" and "@", and a
// last label of at least 2 characters without digits.
bool IsValidDomainName(const std::string& text);

// The number of labels, counted from the left, in which the two names agree
// ignoring case, up to the first difference or the end of the shorter name.
int CountCommonLeadingLabels(const std::string& a, const std::string& b);

// The name has the shape of a dial-up, DSL, cable or DHCP address.
bool IsDynamicHostName(const std::string& name);

// The name has the shape of the relay servers of the large free web-mail
// provider Hotmail ("bay0-omc1-s12.bay0.hotmail.com").
bool IsWebmailRelayHostName(const std::string& name);

// Keeps only the lines that start, ignoring case, with "Mail", "POP", "smtp"
// or "MX."; removes all others.
void KeepMailServerHostNames(TStringList& list);

}  // namespace halvorn
