#include "foundation/net/host_names.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/crypto/random_source.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr char kLocalHostName[] = "LocalHost";

std::mutex& HostNameMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& CachedHostName() {
  static std::string name;
  return name;
}

// ---------------------------------------------------------------------------
// Byte layout of the numbers.

std::uint32_t FromBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  const std::uint8_t bytes[4] = {b0, b1, b2, b3};
  std::uint32_t number;
  std::memcpy(&number, bytes, 4);
  return number;
}

void ToBytes(std::uint32_t number, std::uint8_t bytes[4]) {
  std::memcpy(bytes, &number, 4);
}

// The address as an integer with the first byte most significant.
std::uint32_t FromBigEndianValue(std::uint32_t value) {
  return FromBytes(static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value));
}

std::uint32_t ToBigEndianValue(std::uint32_t number) {
  std::uint8_t b[4];
  ToBytes(number, b);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}

constexpr std::uint64_t kMax32 = 0xFFFFFFFFull;

// One part of a dotted address. False when it is no number or exceeds 32
// bits (the caller checks the narrower ranges).
bool ParseAddressPart(const std::string& part, std::uint64_t& value) {
  value = 0;
  if (part.empty()) return false;
  const char first = part[0];
  if ((first >= '1' && first <= '9') || first == '+' || first == '-') {
    // A negative number is out of every range; "-0" is 0.
    std::int64_t decimal = 0;
    if (!ParseSignedDecimal(part, 0, static_cast<std::int64_t>(kMax32), decimal)) return false;
    value = static_cast<std::uint64_t>(decimal);
    return true;
  }
  if (part.size() > 2 && part[0] == '0' && part[1] == 'x') {
    for (std::size_t i = 2; i < part.size(); ++i) {
      const int digit = HexDigitValue(part[i]);
      if (digit < 0) return false;
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > kMax32) return false;
    }
    return true;
  }
  if (first == '0') {
    for (const char c : part) {
      // OctStrToInt read illegal char: the part is invalid.
      if (c < '0' || c > '7') return false;
      value = value * 8 + static_cast<std::uint64_t>(c - '0');
      if (value > kMax32) return false;
    }
    return true;
  }
  return false;
}

bool ParseDottedAddress(const std::string& text, std::uint32_t& number) {
  number = 0;
  if (text.empty()) return false;
  std::string body = text;
  if (body.back() == '.') body.pop_back();
  if (body.empty()) return false;
  std::uint64_t parts[4];
  int count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = body.find('.', start);
    const std::string part = body.substr(start, dot == std::string::npos ? dot : dot - start);
    if (count == 4) return false;
    if (!ParseAddressPart(part, parts[count])) return false;
    ++count;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::uint64_t value = 0;
  switch (count) {
    case 1:
      value = parts[0];
      break;
    case 2:
      if (parts[0] > 255 || parts[1] > 0xFFFFFF) return false;
      value = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 255 || parts[1] > 255 || parts[2] > 0xFFFF) return false;
      value = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i) {
        if (parts[i] > 255) return false;
        value = (value << 8) | parts[i];
      }
      break;
  }
  number = FromBigEndianValue(static_cast<std::uint32_t>(value));
  return true;
}

bool StartsWithCI(const std::string& text, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return text.size() >= n && SameText1252(std::string_view(text).substr(0, n), prefix);
}

// ---------------------------------------------------------------------------
// Look-ups on helper threads.

// What one resolver call found. Shared by the helper thread and whoever waits
// for it, so either may go first.
struct LookupState {
  std::mutex Mutex;
  std::condition_variable DoneSignal;
  bool Finished = false;
  int Code = -1;
  TInAddrArray Addresses;
  std::vector<std::string> Aliases;
};

// Bounds on what one answer may bring (the resolver's own buffer bounds it
// too; these keep a hostile hosts file from making a giant list).
constexpr std::size_t kMaxAnswerBuffer = 1 << 20;
constexpr std::size_t kMaxAnswerItems = 4096;

int HostErrorToSocketError(int hostError) {
  switch (hostError) {
    case HOST_NOT_FOUND:
      return kSockErrHostNotFound;
    case TRY_AGAIN:
      return kSockErrTryAgain;
    case NO_RECOVERY:
      return kSockErrNoRecovery;
    case NO_DATA:
      return kSockErrNoData;
    default:
      return kSockErrNetworkDown;
  }
}

void ResolveOnThisThread(const std::string& name, LookupState& state) {
  int code = kSockErrNetworkDown;
  TInAddrArray addresses;
  std::vector<std::string> aliases;
  if (name.find('\0') != std::string::npos) {
    code = kSockErrHostNotFound;  // no host can have such a name
  } else {
    std::vector<char> buffer(1024);
    while (true) {
      hostent entry{};
      hostent* result = nullptr;
      int hostError = 0;
      const int rc =
          gethostbyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result, &hostError);
      if (rc == ERANGE && buffer.size() < kMaxAnswerBuffer) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (result == nullptr) {
        code = rc == 0 || rc == ENOENT ? HostErrorToSocketError(hostError)
               : hostError != 0        ? HostErrorToSocketError(hostError)
                                       : kSockErrNetworkDown;
        break;
      }
      code = 0;
      if (result->h_addrtype == AF_INET && result->h_length == 4 && result->h_addr_list) {
        for (char** p = result->h_addr_list; *p && addresses.size() < kMaxAnswerItems; ++p) {
          std::uint32_t number;
          std::memcpy(&number, *p, 4);
          addresses.push_back(number);
        }
      }
      if (result->h_aliases) {
        for (char** p = result->h_aliases; *p && aliases.size() < kMaxAnswerItems; ++p) {
          aliases.emplace_back(*p);
        }
      }
      break;
    }
  }
  std::lock_guard<std::mutex> lock(state.Mutex);
  state.Code = code;
  state.Addresses = std::move(addresses);
  state.Aliases = std::move(aliases);
  state.Finished = true;
  state.DoneSignal.notify_all();
}

// Starts the resolver for the name on a detached helper thread. Raises
// std::system_error when no thread can be started.
std::shared_ptr<LookupState> StartResolver(const std::string& name) {
  auto state = std::make_shared<LookupState>();
  std::thread([state, name] { ResolveOnThisThread(name, *state); }).detach();
  return state;
}

void AppendAnswer(const LookupState& state, TInAddrArray& addresses, TStringList& aliases) {
  addresses.insert(addresses.end(), state.Addresses.begin(), state.Addresses.end());
  for (const auto& alias : state.Aliases) aliases.Add(alias);
}

// The cached addresses of the own host and of "LocalHost". Known with Address
// 0 means a look-up was made and found nothing.
struct CachedAddress {
  bool Known = false;
  std::uint32_t Address = 0;
};

struct AddressCache {
  std::mutex Mutex;
  CachedAddress OwnHost;
  CachedAddress LocalHost;
};

AddressCache& Cache() {
  static AddressCache cache;
  return cache;
}

enum class CachedName { None, OwnHost, LocalHost };

CachedName WhichCachedName(const std::string& name) {
  if (SameText1252(name, kLocalHostName)) return CachedName::LocalHost;
  if (SameText1252(name, GetHostNameOrLocal())) return CachedName::OwnHost;
  return CachedName::None;
}

CachedAddress& CacheEntry(AddressCache& cache, CachedName which) {
  return which == CachedName::LocalHost ? cache.LocalHost : cache.OwnHost;
}

// The address of the own host or "LocalHost" for the local-host tests: from
// the cache, or looked up once with 5000 ms and remembered whatever came of
// it. 0 when nothing was found.
std::uint32_t LocalNameAddress(const std::string& name) {
  const CachedName which = WhichCachedName(name);
  {
    std::lock_guard<std::mutex> lock(Cache().Mutex);
    const CachedAddress& entry = CacheEntry(Cache(), which);
    if (entry.Known) return entry.Address;
  }
  const std::uint32_t address = HostToIP(name, 5000);
  std::lock_guard<std::mutex> lock(Cache().Mutex);
  CachedAddress& entry = CacheEntry(Cache(), which);
  if (!entry.Known || entry.Address == 0) {
    entry.Known = true;
    if (address != 0) entry.Address = address;
  }
  return entry.Address;
}

// The one shared driven look-up.
std::mutex& SharedLookupMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<LookupState>& SharedLookup() {
  static std::shared_ptr<LookupState> state;
  return state;
}

}  // namespace

struct THostLookup {
  std::shared_ptr<LookupState> State;
};

// ---------------------------------------------------------------------------

TDNSResult SocketErrorToDNSResult(int code) {
  switch (code) {
    case 0:
    case 10000:
    case kSockErrHostNotFound:
    case kSockErrNoRecovery:
    case kSockErrNoData:
      return dns_NoError;
    case kSockErrHostDown:
      return dns_NoContactServer;
    case -2:
      return dns_BadResultReturned;
    case kSockErrTimedOut:
    case kSockErrTryAgain:
      return dns_Timeout;
    case -1:
      return dns_NotPerformed;
    default:
      return dns_InternalError;
  }
}

int DNSResultToSocketError(int result) {
  switch (result) {
    case dns_NoError:
      return 0;
    case dns_NoContactServer:
      return kSockErrHostDown;
    case dns_BadResultReturned:
      return -2;
    case dns_Timeout:
      return kSockErrTimedOut;
    case dns_InternalError:
      return kSockErrNetworkDown;
    case dns_NotPerformed:
      return -1;
    default:
      return kSockErrInProgress;
  }
}

std::string IPToStr(std::uint32_t address) {
  std::uint8_t b[4];
  ToBytes(address, b);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

std::string IPToStr2(std::uint32_t address) {
  return IPToStr(address);
}

std::uint32_t StrToIP(const std::string& text) {
  std::uint32_t number;
  return ParseDottedAddress(text, number) ? number : 0;
}

bool IsIPAddress(const std::string& text) {
  std::uint32_t number;
  return ParseDottedAddress(text, number);
}

std::string ReverseDottedLabels(const std::string& text) {
  if (text.empty()) return text;
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    labels.push_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::string result;
  result.reserve(text.size());
  for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
    if (it != labels.rbegin()) result += '.';
    result += *it;
  }
  return result;
}

std::string IPToReversedText(std::uint32_t address) {
  return ReverseDottedLabels(IPToStr(address));
}

std::uint32_t HexToIP(const std::string& text) {
  std::string digits = text;
  if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
  std::uint32_t number = 0;
  for (int i = 0; i < 4; ++i) {
    const int high = HexDigitValue(digits[2 * i]);
    const int low = HexDigitValue(digits[2 * i + 1]);
    const std::uint32_t byte = (high < 0 || low < 0) ? 0 : static_cast<std::uint32_t>(high * 16 + low);
    number = (number << 8) | byte;
  }
  return number;
}

std::uint16_t SwapBytes16(std::uint16_t value) {
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

bool IsIPInRange(const std::string& address, const std::string& low, const std::string& high) {
  std::uint32_t a, l, h;
  if (!ParseDottedAddress(address, a) || !ParseDottedAddress(low, l) ||
      !ParseDottedAddress(high, h)) {
    return false;
  }
  if (l == 0 && a == h) return true;
  if (h == 0 && a == l) return true;
  const std::uint32_t av = ToBigEndianValue(a);
  return ToBigEndianValue(l) <= av && av <= ToBigEndianValue(h);
}

std::uint32_t RandomLoopbackAddress() {
  return FromBytes(127, static_cast<std::uint8_t>(RandomInt(255)),
                   static_cast<std::uint8_t>(RandomInt(255)),
                   static_cast<std::uint8_t>(RandomInt(255)));
}

// ---------------------------------------------------------------------------

TDNSResult LookupHostAddresses(const std::string& name, TInAddrArray& addresses,
                               TStringList& aliases, int timeoutMs) {
  addresses.clear();
  aliases.Clear();
  const CachedName which = WhichCachedName(name);
  if (which != CachedName::None) {
    std::lock_guard<std::mutex> lock(Cache().Mutex);
    const CachedAddress& entry = CacheEntry(Cache(), which);
    if (entry.Address != 0) {
      addresses.push_back(entry.Address);
      return dns_NotPerformed;
    }
  }
  if (timeoutMs < 1) return dns_Timeout;

  const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
  int code = -1;
  std::shared_ptr<LookupState> state;
  try {
    state = StartResolver(name);
  } catch (const std::exception&) {
    code = kSockErrNetworkDown;
  }
  if (state) {
    std::unique_lock<std::mutex> lock(state->Mutex);
    while (!state->Finished) {
      const std::int64_t left = deadline - SteadyMilliseconds();
      if (left <= 0) break;
      state->DoneSignal.wait_for(lock, std::chrono::milliseconds(left));
    }
    if (state->Finished) {
      code = state->Code;
      AppendAnswer(*state, addresses, aliases);
    }
  }
  if (code == -1) code = kSockErrTimedOut;

  if (which != CachedName::None && !addresses.empty()) {
    std::lock_guard<std::mutex> lock(Cache().Mutex);
    CachedAddress& entry = CacheEntry(Cache(), which);
    if (entry.Address == 0) {
      entry.Known = true;
      entry.Address = addresses.front();
    }
  }
  return SocketErrorToDNSResult(code);
}

TDNSResult ResolveHostAddress(const std::string& name, std::uint32_t& address, int timeoutMs) {
  address = 0;
  std::uint32_t direct;
  if (ParseDottedAddress(name, direct) && direct != 0) {
    address = direct;
    return dns_NoError;
  }
  TInAddrArray addresses;
  TStringList aliases;
  const TDNSResult result = LookupHostAddresses(name, addresses, aliases, timeoutMs);
  if (!addresses.empty()) address = addresses.front();
  return result;
}

bool ResolveHost(const std::string& name, std::uint32_t& address, int timeoutMs) {
  ResolveHostAddress(name, address, timeoutMs);
  return address != 0;
}

std::uint32_t HostToIP(const std::string& name, int timeoutMs) {
  std::uint32_t address = 0;
  ResolveHostAddress(name, address, timeoutMs);
  return address;
}

bool StartHostLookup(const std::string& name, THostLookup*& handle, bool shared) {
  handle = nullptr;
  std::shared_ptr<LookupState> state;
  try {
    state = StartResolver(name);
  } catch (const std::exception&) {
    return false;
  }
  if (shared) {
    std::lock_guard<std::mutex> lock(SharedLookupMutex());
    SharedLookup() = std::move(state);
    return true;
  }
  handle = new THostLookup{std::move(state)};
  return true;
}

bool PollHostLookup(THostLookup* handle, TInAddrArray& addresses, TStringList& aliases, int& code) {
  if (handle == nullptr || !handle->State) {
    code = kSockErrNetworkDown;
    return true;
  }
  code = -1;
  LookupState& state = *handle->State;
  std::lock_guard<std::mutex> lock(state.Mutex);
  if (!state.Finished) return false;
  code = state.Code;
  AppendAnswer(state, addresses, aliases);
  return true;
}

void EndHostLookup(THostLookup* handle) {
  delete handle;
}

// ---------------------------------------------------------------------------

std::string GetHostNameOrLocal() {
  std::lock_guard<std::mutex> lock(HostNameMutex());
  std::string& cached = CachedHostName();
  if (cached.empty() || cached == kLocalHostName) {
    char buffer[256];
    std::memset(buffer, 0, sizeof(buffer));
    // One byte is kept back so that a truncated name is still terminated.
    if (gethostname(buffer, sizeof(buffer) - 1) == 0 && buffer[0] != '\0') {
      cached.assign(buffer, strnlen(buffer, sizeof(buffer) - 1));
    }
    if (cached.empty()) cached = kLocalHostName;
  }
  return cached;
}

std::string LocalHostName() {
  return kLocalHostName;
}

bool IsLocalHost(std::uint32_t address) {
  if (IPToStr(address).rfind("127", 0) == 0) return true;
  // A look-up that found nothing gives 0, which must not count as a match.
  if (address == 0) return false;
  if (address == LocalNameAddress(kLocalHostName)) return true;
  if (address == LocalNameAddress(GetHostNameOrLocal())) return true;
  const std::uint32_t own = OwnIPAddress.load();
  return own != 0 && own == address;
}

bool IsLocalHostAddress(const std::string& text) {
  if (!IsIPAddress(text)) return false;
  if (text.rfind("127", 0) == 0) return true;
  const std::uint32_t own = LocalNameAddress(GetHostNameOrLocal());
  if (own != 0 && text == IPToStr(own)) return true;
  const std::uint32_t local = LocalNameAddress(kLocalHostName);
  if (local != 0 && text == IPToStr(local)) return true;
  // The host name often names only 127.0.1.1: the interfaces know the rest.
  // Asked anew each time, as addresses come and go with the networks.
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    found = address->sin_addr.s_addr != 0 && text == IPToStr(address->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return found;
}

void FinalizeHostNames() {
  {
    std::lock_guard<std::mutex> lock(SharedLookupMutex());
    SharedLookup().reset();
  }
  {
    std::lock_guard<std::mutex> lock(Cache().Mutex);
    Cache().OwnHost = {};
    Cache().LocalHost = {};
  }
  std::lock_guard<std::mutex> lock(HostNameMutex());
  CachedHostName().clear();
}

// ---------------------------------------------------------------------------

bool IsValidDomainName(const std::string& text) {
  const std::string name = LowerCase1252(text);
  if (name.size() <= 3 || name[0] == '.') return false;
  if (name.find('.') == std::string::npos || name.find("..") != std::string::npos) return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '@';
    if (!ok) return false;
  }
  const std::string last = name.substr(name.rfind('.') + 1);
  if (last.size() < 2) return false;
  for (const char c : last) {
    if (c >= '0' && c <= '9') return false;
  }
  return true;
}

int CountCommonLeadingLabels(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return 0;
  std::size_t ia = 0, ib = 0;
  int count = 0;
  while (ia <= a.size() && ib <= b.size()) {
    std::size_t ea = a.find('.', ia);
    std::size_t eb = b.find('.', ib);
    if (ea == std::string::npos) ea = a.size();
    if (eb == std::string::npos) eb = b.size();
    if (!SameText1252(std::string_view(a).substr(ia, ea - ia),
                      std::string_view(b).substr(ib, eb - ib))) {
      break;
    }
    ++count;
    ia = ea + 1;
    ib = eb + 1;
  }
  return count;
}

namespace {

// The whole-name match of the name-shape tests: dot matches line breaks,
// greedy quantifiers, case counts; true only when the leftmost match covers
// the whole name.
class WholeMatcher {
 public:
  explicit WholeMatcher(const char* pattern) {
    FRegExpr.SetModifier(2, false);  // r
    FRegExpr.SetModifier(3, true);   // s
    FRegExpr.SetModifier(4, true);   // g
    FRegExpr.SetExpression(pattern);
  }
  bool MatchesWhole(const std::string& name) {
    if (!FRegExpr.Exec(name)) return false;
    return FRegExpr.SubMatchStart(0) == 1 &&
           FRegExpr.SubMatchLength(0) == static_cast<int>(name.size());
  }

 private:
  TRegExpr FRegExpr;
};

const char* const kDynamicPatterns[] = {
    "\\dpool\\d*\\S*\\x2E\\S*\\x2E{1}",
    "[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "host\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "[0-9]+\\-[0-9]+",
    "adsl\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "ip[0-9]+",
    "ip\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "pc[0-9]+",
    ".*[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    ".*[0-9]+\\-[0-9]+",
    "h[0-9]+",
    "host\\-[0-9]+",
    ".+\\-[0-9]+\\-[0-9]+",
    "ppp[0-9]+",
    "user[0-9]+",
    "dsl\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "ip[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "ip[0-9]+\\-[0-9]+",
    "ppp\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "dhcp[0-9]+",
    "dial\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "dhcp[0-9]+\\-[0-9]+",
    "adsl\\-[0-9]+\\-[0-9]+",
    "ip\\-[0-9]+\\-[0-9]+",
    "adsl[0-9]+",
    "ppp[0-9]+\\-[0-9]+",
    "host[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "h[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "dsl\\-[0-9]+\\-[0-9]+",
    "dsl[0-9]+\\-[0-9]+",
    "host\\-[0-9]+\\-[0-9]+",
    "host[0-9]+\\-[0-9]+",
    "dhcp\\-[0-9]+\\-[0-9]+",
    "adsl\\-[0-9]+",
    "ppp\\-[0-9]+",
    "ip\\-[0-9]+",
    "dsl\\-[0-9]+",
    "dsl[0-9]+",
    "chello[0-9]+",
    ".*\\-[0-9]+\\-[0-9]+",
    "server[0-9]+",
    "pc[0-9]+\\-[0-9]+",
    "dialup[0-9]+",
    "cm[0-9]+",
    "cable[0-9]+\\-[0-9]+",
    "ppp\\-[0-9]+\\-[0-9]+",
    "dialup\\-[0-9]+",
    "cable\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "lan\\-[0-9]+\\-[0-9]+",
    "dhcp\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "d[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "client\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "adsl[0-9]+\\-[0-9]+",
    "[0-9]+\\-[0-9]+\\-[0-9]+",
    "ts[0-9]+\\-[0-9]+",
    "srv[0-9]+",
    "pc\\-[0-9]+\\-[0-9]+",
    "pc\\-[0-9]+",
    "net[0-9]+\\-[0-9]+",
    "isdn\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "dyn[0-9]+\\-[0-9]+",
    "dial\\-[0-9]+",
    "cs[0-9\\-]+",
    "cpe[0-9\\-]+",
    "cable\\-[0-9]+",
    "c[0-9]+\\-[0-9]+",
    "[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}.*",
    ".+\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "ws[0-9]+\\-[0-9]+",
    "ws[0-9]+",
    "user\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "resnet[0-9]+\\-[0-9]+",
    "port\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "node[0-9]+",
    "dyn\\-[0-9]+\\-[0-9]+",
    "dyn[0-9]+",
    "du\\-[0-9]+\\-[0-9]+",
    "du[0-9]+",
    "dialup\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "dial[0-9]+\\-[0-9]+",
    "dial[0-9]+",
    "customer\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}",
    "cust[0-9]+\\-[0-9]+",
    "cable\\-[0-9]+\\-[0-9]+",
    "adsl\\-[0-9]+\\-[0-9]+.*",
};

// The compiled name patterns, one set per thread (an engine object serves one
// thread at a time).
struct NameMatchers {
  WholeMatcher Loopback127{"127\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}"};
  WholeMatcher Private192{"192\\-[0-9]{1,3}\\-[0-9]{1,3}\\-[0-9]{1,3}"};
  WholeMatcher FourNumbers{
      "\\d{1,3}(\\W|_)\\d{1,3}(\\W|_)\\d{1,3}(\\W|_)\\d{1,3}\\S*\\x2E{1}\\S{1}"};
  WholeMatcher FourNumbersLocal{
      "(127|192)(\\W|_)\\d{1,3}(\\W|_)\\d{1,3}(\\W|_)\\d{1,3}\\S*\\x2E{1}\\S{1}"};
  WholeMatcher WebmailRelay{
      "\\S{2,3}\\d\\S{0,5}-\\S{2,6}\\d{1,5}\\.\\S{1,5}\\d{1,5}\\.hotmail\\x2Ecom"};
  std::vector<std::unique_ptr<WholeMatcher>> Dynamic;

  NameMatchers() {
    for (const char* pattern : kDynamicPatterns) {
      Dynamic.push_back(std::make_unique<WholeMatcher>(pattern));
    }
  }
};

NameMatchers& Matchers() {
  thread_local NameMatchers matchers;
  return matchers;
}

}  // namespace

bool IsDynamicHostName(const std::string& name) {
  if (name.empty() || IsIPAddress(name)) return false;
  NameMatchers& m = Matchers();
  if (m.Loopback127.MatchesWhole(name) || m.Private192.MatchesWhole(name)) return false;
  if (m.FourNumbers.MatchesWhole(name)) return !m.FourNumbersLocal.MatchesWhole(name);
  for (const auto& matcher : m.Dynamic) {
    if (matcher->MatchesWhole(name)) return true;
  }
  return false;
}

bool IsWebmailRelayHostName(const std::string& name) {
  if (name.empty() || IsIPAddress(name)) return false;
  return Matchers().WebmailRelay.MatchesWhole(name);
}

void KeepMailServerHostNames(TStringList& list) {
  for (int i = list.Count() - 1; i >= 0; --i) {
    const std::string& line = list[i];
    const bool keep = StartsWithCI(line, "Mail") || StartsWithCI(line, "POP") ||
                      StartsWithCI(line, "smtp") || StartsWithCI(line, "MX.");
    if (!keep) list.Delete(i);
  }
}

}  // namespace halvorn
