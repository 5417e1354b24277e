#include "classify/header_evaluations.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "classify/random_strings.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/net/host_names.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/regex/regex_cache.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/encoded_words.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/abandonment.h"
#include "foundation/time/date_time.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "lists/network_tests.h"
#include "message/email_address.h"
#include "message/email_msg.h"
#include "message/mail_providers.h"
#include "message/mailer_patterns.h"
#include "message/received_line.h"

namespace halvorn {

namespace {

// ---- Helpers

// Runs `body`; an error gives `fallback` (the evaluations that the design
// guards). An abandoned worker unwinds.
template <class T, class Body>
T Guarded(T fallback, Body&& body) {
  try {
    return body();
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return fallback;
  }
}

bool ContainsCI(std::string_view text, std::string_view part) {
  return !part.empty() && FindTextCIFrom(text, part, 1) > 0;
}
bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The domain with its full stops escaped, for a pattern.
std::string Escaped(std::string_view domain) {
  std::string out;
  for (char c : domain) {
    if (c == '.') out += '\\';
    out += c;
  }
  return out;
}

// The evaluation options: case-insensitive, multi-line, lazy; found anywhere.
// One engine per pattern and thread (the patterns are fixed, so the map
// stays small).
TRegExpr& EvaluationEngine(const std::string& pattern) {
  thread_local std::map<std::string, std::unique_ptr<TRegExpr>> engines;
  std::unique_ptr<TRegExpr>& engine = engines[pattern];
  if (!engine) {
    engine = std::make_unique<TRegExpr>();
    ApplyRegExOptions(*engine, kRegExIgnoreCase | kRegExMultiLine);
    engine->SetExpression(pattern);
  }
  return *engine;
}
bool Shows(const std::string& text, const std::string& pattern) {
  return EvaluationEngine(pattern).Exec(text);
}
// The same options with the Perl-compatible engine, where "\b" is a word
// boundary (the program's own engine reads it as the letter b).
bool ShowsPcre(const std::string& text, const std::string& pattern) {
  return CachedRegex(pattern,
                     TRegexOptions::Caseless | TRegexOptions::MultiLine | TRegexOptions::Ungreedy)
      ->IsMatch(text);
}

constexpr std::uint8_t kWholeExact = 0;
constexpr std::uint8_t kWholeLoose = kRegExDotAll | kRegExGreedy;  // bits 12

std::string Value(TEmailHeader& header, std::string_view name, bool& present) {
  std::string value;
  present = header.GetValue(name, value);
  return value;
}
bool Has(TEmailHeader& header, std::string_view name) {
  return header.IndexOfName(name) >= 0;
}

// The Received lines from the oldest.
std::vector<std::string> ReceivedFromOldest(TEmailHeader& header) {
  std::vector<std::string> lines;
  std::string line;
  for (int n = 1; header.GetReceivedLine(n, line); ++n) lines.push_back(line);
  return lines;
}
std::string Halved(std::string line) {
  ReplaceAll("  ", " ", line);
  return line;
}
// Some Received line, blank-halved, shows the pattern.
bool SomeLineShows(const std::vector<std::string>& lines, const std::string& pattern) {
  for (const std::string& line : lines)
    if (Shows(Halved(line), pattern)) return true;
  return false;
}

bool FromAddress(TEmailHeader& header, TEmailAddress& address) {
  bool present = false;
  const std::string from = Value(header, "From", present);
  if (!present) return false;
  address.Parse(from);
  return true;
}

bool FromNames(TEmailHeader& header, std::string_view domain) {
  bool present = false;
  const std::string from = Value(header, "From", present);
  return present && ContainsCI(from, domain);
}

constexpr const char* kDottedNumber = R"(\d+\.\d+\.\d+\.\d+)";

bool ShowsDottedNumber(TEmailHeader& header, std::string_view name) {
  bool present = false;
  const std::string value = Value(header, name, present);
  return present && Shows(value, kDottedNumber);
}

int WholeHoursOf(TDateTime zone) {
  const long minutes = std::lround(DateTimeToHours(zone) * 60.0);
  return static_cast<int>(minutes / 60);
}

bool ZoneUnderstood(std::uint16_t flags) {
  return (flags & (kDateNoZone | kDateZoneUnknown)) == 0;
}
bool DateParses(std::uint16_t flags) { return (flags & (kDateIrregular | kDateEmpty)) == 0; }

const std::vector<std::string>& KnownIdShapes() {
  static const std::vector<std::string> shapes = {
      R"(<[0-9a-f]{8}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>)",
      R"(<[0-9a-f]{12}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>)",
      R"(<[A-Z]{28}\..+@.+>)",
      R"(<[0-9A-F]{38}@.+>)",
      R"(<[0-9A-F]{40}@.+>)",
      R"(<[0-9A-F]{8}\.[0-9]{5,7}@.+>)",
      R"(<[0-9A-F]{8}\.[0-9A-F]{3}%[0-9]{5,7}@.+>)",
      R"(<0[0123456789abcdef]{5}c[0123456789abcdef]{5}\$[0123456789abcdef]{8}\$[0123456789abcdef]{8}@.+>)",
      R"(<[0123456789ABCDEF]{35,45}@.+>)",
  };
  return shapes;
}
bool HasKnownIdShape(const std::string& id) {
  for (const std::string& shape : KnownIdShapes())
    if (RegExMatchesWhole(id, shape, kWholeExact)) return true;
  return false;
}

constexpr const char* kOutlookExpressIdShape =
    R"(<0[0123456789abcdef]{5}c[0123456789abcdef]{5}\$[0123456789abcdef]{8}\$[0123456789abcdef]{8}@.+>)";
constexpr const char* kImsIdShape = R"(<[0123456789ABCDEF]{35,45}@.+>)";
constexpr const char* kImsBoundaryShape =
    R"((--)?----_=_NextPart_[0-9A-F]{3}_[0-9A-F]{8}\.[0-9A-F]{8})";
constexpr const char* kOutlookExpressBoundaryShape =
    R"((--)?----=_NextPart_[0-9A-F]{3}_[0-9A-F]{4}_[0-9A-F]{8}\.[0-9A-F]{8})";

// The X-Mailer value (X-mailer is the same header); false without one.
bool Mailer(TEmailHeader& header, std::string& mailer) {
  return header.GetValue("X-Mailer", mailer);
}

// The boundary, or false when it cannot tell a mail program: empty, one of
// ours, or a mail server's "Boundary_(ID_...)".
bool UsableBoundary(TEmailHeader& header, std::string& boundary) {
  boundary = header.GetBoundary();
  if (boundary.empty() || Contains(boundary, "Quor")) return false;
  return !RegExMatchesWhole(boundary, R"((--)?Boundary_\(ID_.{22}\))", kWholeLoose);
}

std::string MessageId(TEmailHeader& header, bool& present) {
  return TrimText(Value(header, "Message-Id", present));
}

// Known mailing list, no mailer, or a mailer without `name`: unknown; else
// the Message-Id against the shape.
TTrite MsgIdShapeCheck(TEmailHeader& header, std::string_view name, const char* shape) {
  std::string mailer;
  if (header.IsKnownMailingList() || !Mailer(header, mailer) || !ContainsCI(mailer, name))
    return kTriteUnknown;
  bool present = false;
  const std::string id = MessageId(header, present);
  if (!present) return kTriteNo;
  return TriteFromBool(RegExMatchesWhole(id, shape, kWholeExact));
}

}  // namespace

// ---- The subject

bool SubjectHasUniqueId(TEmailHeader& header) {
  return Guarded(false, [&] {
    std::string subject;
    if (!header.GetSubject(subject)) return false;
    static const char* const kShapes[] = {
        R"([-_\.\s]{7,}([-a-z0-9]{4,})$)",
        R"(\s{3,}[-:\#\(\[]+([-a-z0-9]{4,})[\]\)]+$)",
        R"(\s{3,}[:\#\(\[]*([0-9]{4,})[\]\)]*$)",
        R"(\s{3,}[-:\#]([a-z0-9]{5,})$)",
        R"(\(([-\w]{7,}\@\d+)\)$)",
        R"(\b(\d{7,})\s*$)",
        R"([!\?]\s*(\d{4,})\s*$)",
        R"(\b(\w{7,}-\w{7,}-\d+-\d+)\s*$)",
    };
    for (int i = 0; i < 8; ++i) {
      const bool boundary = i == 5 || i == 7;
      if (boundary ? ShowsPcre(subject, kShapes[i]) : Shows(subject, kShapes[i])) return true;
    }
    return false;
  });
}

bool SubjectIsAllCaps(TEmailHeader& header) {
  return Guarded(false, [&] {
    std::string subject;
    if (!header.GetSubject(subject)) return false;
    int letters = 0;
    for (char c : subject) {
      if (c >= 'a' && c <= 'z') return false;
      if (c >= 'A' && c <= 'Z') ++letters;
    }
    return letters > 5;
  });
}

bool SubjectFullOf8Bit(TEmailHeader& header) {
  return Guarded(false, [&] {
    std::string subject;
    if (!header.GetValue("Subject", subject)) return false;
    const auto n = static_cast<std::int64_t>(subject.size());
    std::int64_t e = 0;
    for (char c : subject)
      if (static_cast<unsigned char>(c) > 127) ++e;
    return n - e < e && e > 3;
  });
}

bool SubjectHasSpaceRun(TEmailHeader& header) {
  std::string subject;
  return header.GetSubject(subject) && LongestSpaceRun(subject) > 3;
}

bool SubjectLooksRandom1(TEmailHeader& header) {
  std::string subject;
  return header.GetSubject(subject) && IsRandomLogScore(subject);
}

bool SubjectLooksRandom3(TEmailHeader& header) {
  std::string subject;
  return header.GetSubject(subject) && IsRandomUnseenScore(subject);
}

bool SubjectWasEncoded(TEmailHeader& header) {
  std::string raw;
  std::string subject;
  if (!header.GetRawValue("Subject", raw, true) || !header.GetSubject(subject)) return false;
  return LowerCase1252(raw) != LowerCase1252(subject);
}

bool SubjectNeedlesslyEncoded(TEmailHeader& header) {
  if (!SubjectWasEncoded(header)) return false;
  std::string subject;
  header.GetSubject(subject);
  for (char c : subject) {
    const auto u = static_cast<unsigned char>(c);
    if (u != '\t' && (u < 32 || u > 126)) return false;
  }
  return true;
}

// ---- Dates and zones

int DateToReceivedHours(TEmailHeader& header) {
  return Guarded(0, [&] {
    TDateTime date = 0;
    TDateTime zone = 0;
    if (!Has(header, "Date") || !DateParses(header.GetDate(date, zone))) return 0;
    const TDateTime x = date - zone;
    TDateTime r = x;
    TDateTime rZone = 0;
    for (int n = -1; n >= -10; --n) {
      TDateTime d = 0;
      TDateTime z = 0;
      if (!DateParses(header.GetReceivedDate(n, d, z))) break;
      r = d;
      rZone = z;
    }
    // The default rounding mode takes halves to the even neighbour.
    return static_cast<int>(std::nearbyint(DateTimeToHours(x - (r - rZone))));
  });
}

bool IsLocalReceivedLine(const std::string& line) {
  if (Contains(line, "Quorvantis") || ContainsCI(line, "LocalHost")) return true;
  return IsDottedNumberText(line) && (line.rfind("127.", 0) == 0 || line.rfind("192.", 0) == 0);
}

int FirstHopZoneDifference(TEmailHeader& header) {
  std::string line;
  int first = 0;
  for (int n = 1; header.GetReceivedLine(n, line); ++n) {
    if (!IsLocalReceivedLine(line)) {
      first = n;
      break;
    }
  }
  if (first == 0) return -1;
  TDateTime date = 0;
  TDateTime zone = 0;
  if (!Has(header, "Date") || !ZoneUnderstood(header.GetDate(date, zone))) return -1;
  TDateTime rDate = 0;
  TDateTime rZone = 0;
  const std::uint16_t flags = header.GetReceivedDate(first, rDate, rZone);
  if ((flags & kDateEmpty) || !ZoneUnderstood(flags)) return -1;
  return std::abs((WholeHoursOf(zone) - WholeHoursOf(rZone)) % 24);
}

bool IsFirstExternalHopDialup(TEmailHeader& header) {
  std::string line;
  for (int n = -1; header.GetReceivedLine(n, line); --n) {
    if (IsLocalReceivedLine(line)) continue;
    const TReceivedLine parsed(line);
    return !parsed.FFromName.empty() && IsDynamicHostName(parsed.FFromName);
  }
  return false;
}

bool IsDialupFromOtherZone(TEmailHeader& header) {
  return IsFirstExternalHopDialup(header) && FirstHopZoneDifference(header) >= 2;
}

// ---- The Received path

bool HasForgedAolRelay(TEmailHeader& header) {
  return Guarded(false, [&] {
    for (const std::string& line : ReceivedFromOldest(header)) {
      if (!Shows(line, R"( rly-[a-z][a-z]\d\d\.)")) continue;
      if (!Contains(line, "ESMTP id RELAY") && !Contains(line, "ESMTP id MAILRELAY") &&
          !Contains(line, "ESMTP id MAILIN"))
        return true;
    }
    return false;
  });
}

bool HasDialupMidReceived(TEmailHeader& header) {
  const int count = header.ReceivedCount();
  if (count < 2) return false;
  std::string line;
  int hi = count;
  if (header.GetReceivedLine(count, line) && Contains(line, "Quorvantis")) hi = count - 1;
  hi -= 1;
  int lo = 2;
  if (header.GetReceivedLine(-1, line) && ContainsCI(line, "LocalHost")) lo = 3;
  for (int i = lo; i <= hi; ++i) {
    if (!header.GetReceivedLine(i, line)) continue;
    const TReceivedLine parsed(line);
    if (!parsed.FFromName.empty() && IsDynamicHostName(parsed.FFromName)) return true;
  }
  return false;
}

bool FromDomainInFirstReceived(TEmailHeader& header) {
  TEmailAddress address;
  std::string line;
  if (!FromAddress(header, address) || !header.GetReceivedLine(1, line)) return false;
  std::string byHost;
  GetReceivedByHost(line, byHost);
  return ContainsCI(byHost, address.GetDomain());
}

bool HasForgedGatewayReceived(TEmailHeader& header) {
  return Guarded(false, [&] {
    static const std::string kPattern =
        R"(from\s(\S+)\sby\s(\S+)\swith\sESMTP\;\s+\S\S\S,\s+\d+\s+\S\S\S\s+\d{4}\s+\d\d:\d\d:\d\d\s+[-+]*\d{4})";
    for (const std::string& line : ReceivedFromOldest(header)) {
      TRegExpr& engine = EvaluationEngine(kPattern);
      if (engine.Exec(Halved(line)) && !Contains(engine.GetMatch(2), ".")) return true;
    }
    return false;
  });
}

bool IsInternalMail(TEmailHeader& header) {
  try {
    for (const std::string& line : ReceivedFromOldest(header))
      if (!ContainsCI(line, "Quor")) return false;
    return true;
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return false;
  }
}

bool CheckDomainReceived(TEmailHeader& header, std::string_view domain, bool expected) {
  return Guarded(false, [&] {
    if (!FromNames(header, domain)) return false;
    const std::string d(domain);
    const std::string pattern = "from.*\\b" + d +
                                R"(.*[\[\(][0-9]+\.[0-9]+\.[0-9]+\.[0-9]+[\]\)].*by.*\b)" + d;
    for (const std::string& line : ReceivedFromOldest(header))
      if (ShowsPcre(Halved(line), pattern)) return expected;
    return !expected;
  });
}

// ---- Web-mail forgeries

bool IsForgedHotmail(TEmailHeader& header) {
  return Guarded(false, [&] {
    if (!FromNames(header, kHotmailMailDomain)) return false;
    if (header.IsKnownMailingList()) return false;
    if (FromNames(header, kHotmailStaffAddress)) return Has(header, "X-Originating-Ip");
    std::string type;
    std::string returnPath;
    if (header.GetValueUpToSemicolon("Content-Type", type) &&
        LowerCase1252(TrimText(type)) == "multipart/report" &&
        header.GetValueUpToSemicolon("Return-Path", returnPath) && TrimText(returnPath) == "<>")
      return false;
    if (!ShowsDottedNumber(header, "X-Originating-Ip")) return true;
    const std::vector<std::string> lines = ReceivedFromOldest(header);
    if (lines.empty()) return false;
    const std::string relays =
        "(" + Escaped(kHotmailRelayDomains[0]) + "|" + Escaped(kHotmailRelayDomains[1]) + ")";
    if (SomeLineShows(lines, R"(from \S*)" + Escaped(kHotmailMailDomain) + R"( \(\S*\.)" + relays +
                                 R"([ \)])"))
      return false;
    if (SomeLineShows(lines, R"(from \S+ by \S*\.)" + relays + R"( with HTTP;)")) return false;
    if (SomeLineShows(lines, R"(from \S+ by \S+(DAV|BAY)\S+ with DAV\;)")) return false;
    return true;
  });
}

bool IsForgedEudoramail(TEmailHeader& header) {
  return Guarded(false, [&] {
    if (!FromNames(header, kEudoramailMailDomain)) return false;
    if (!ShowsDottedNumber(header, "X-Sender-Ip")) return true;
    return !SomeLineShows(ReceivedFromOldest(header),
                          R"(by \S*)" + Escaped(kEudoramailRelayDomain) + ";");
  });
}

bool IsForgedYahoo(TEmailHeader& header) {
  return Guarded(false, [&] {
    if (!FromNames(header, kYahooMailDomain)) return false;
    const std::vector<std::string> lines = ReceivedFromOldest(header);
    if (lines.empty()) return false;
    if (SomeLineShows(lines, R"(by web\S*)" + Escaped(kYahooWebMailHostSuffix) + " via HTTP"))
      return false;
    if (SomeLineShows(lines, R"(by smtp\S*\.)" + Escaped(kYahooSmtpRelayDomain) + " with SMTP"))
      return false;
    const std::string bracketed = R"(from \[\d+\.\d+\.\d+\.\d+\] by \S*)";
    if (SomeLineShows(lines, bracketed + "(" + Escaped(kYahooGroupsRelayDomains[0]) + "|" +
                                 Escaped(kYahooGroupsRelayDomains[1]) + ") with NNFMP"))
      return false;
    if (SomeLineShows(lines, bracketed + Escaped(kYahooGroupsDomain) + " with NNFMP")) return false;
    return true;
  });
}

bool IsForgedJuno(TEmailHeader& header) {
  return Guarded(false, [&] {
    if (!FromNames(header, kJunoMailDomain)) return false;
    std::string mailer;
    if (!Mailer(header, mailer)) return true;
    const auto hop = [](std::string_view domain) {
      return "from.*" + Escaped(domain) + R"(.*\[[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+\].*by)";
    };
    if (Has(header, "X-Originating-Ip")) {
      if (!ShowsDottedNumber(header, "X-Originating-Ip")) return true;
      if (!ContainsCI(mailer, kJunoPartnerDomain)) return true;
      return !SomeLineShows(ReceivedFromOldest(header), hop(kJunoSecondMailDomain));
    }
    if (!ContainsCI(mailer, "juno ")) return true;
    const std::vector<std::string> lines = ReceivedFromOldest(header);
    if (SomeLineShows(lines, hop(kJunoMailDomain))) return false;
    if (SomeLineShows(lines, R"( cookie\.)" + Escaped(kJunoMailDomain) + " ")) return false;
    return true;
  });
}

bool IsHtmlOnly(TEmailHeader& header) {
  return Guarded(false, [&] {
    if (!header.IsTextHtml()) return false;
    const std::string needle = " by " + std::string(kHotmailMailDomain) + " ";
    for (const std::string& line : ReceivedFromOldest(header))
      if (ContainsCI(line, needle)) return false;
    return true;
  });
}

// ---- Header presence and the sender's name

bool HasAuthenticationWarning(TEmailHeader& header) {
  return Guarded(false, [&] { return Has(header, "X-Authentication-Warning"); });
}

bool HasManyCCAddresses(TEmailHeader& header) {
  return Guarded(false, [&] {
    TEmailAddressCollection addresses;
    header.GetAddresses("CC", addresses);
    return addresses.Count() > 20;
  });
}

bool HasNoRecipientHeader(TEmailHeader& header) {
  return Guarded(false, [&] {
    return !Has(header, "To") && !Has(header, "CC") && !Has(header, "Apparently-To");
  });
}

bool MissingMimeOle(TEmailHeader& header) {
  return Guarded(false,
                 [&] { return !Has(header, "X-MimeOLE") && Has(header, "X-MSMail-Priority"); });
}

bool OutlookHeadersWithoutOutlook(TEmailHeader& header) {
  return Guarded(false, [&] {
    std::string mailer;
    if (!Mailer(header, mailer)) return false;
    for (std::string_view known : {"Microsoft", "Internet Mail Service", "Mozilla ",
                                   "Novell GroupWise", "QUALCOMM Windows Eudora "})
      if (ContainsCI(mailer, known)) return false;
    return Has(header, "X-MimeOLE") || Has(header, "X-MSMail-Priority");
  });
}

bool PriorityWithoutMailer(TEmailHeader& header) {
  return Guarded(false, [&] {
    return !Has(header, "X-Mailer") && (Has(header, "X-Priority") || Has(header, "X-MSMail-Priority"));
  });
}

bool FromLocalPartLooksRandom(TEmailHeader& header) {
  TEmailAddress address;
  return FromAddress(header, address) && ConsonantRunScore(address.GetLocalPart()) > 3;
}

bool FromNameMatchesAddress(TEmailHeader& header) {
  TEmailAddress address;
  if (!FromAddress(header, address)) return false;
  const std::string name = UpperCase1252(address.DisplayName);
  if (name == UpperCase1252(address.Address)) return false;
  const std::string local = UpperCase1252(address.GetLocalPart());
  if (local.empty() || name == local) return false;
  std::size_t common = 0;
  for (char c : local)
    if (name.find(c) != std::string::npos) ++common;
  return static_cast<double>(common) / static_cast<double>(local.size()) > 0.9;
}

// ---- Mail-program fingerprints

TTrite MsBoundaryCheck(TEmailHeader& header) {
  std::string mailer;
  std::string boundary;
  if (!Mailer(header, mailer) || !UsableBoundary(header, boundary)) return kTriteUnknown;
  if (Contains(mailer, "Internet Mail Service") || Contains(mailer, "Microsoft"))
    return TriteFromBool(Contains(boundary, "_NextPart_"));
  return kTriteUnknown;
}

TTrite ImsBoundaryCheck(TEmailHeader& header) {
  std::string mailer;
  if (!Mailer(header, mailer) || !Contains(mailer, "Internet Mail Service")) return kTriteUnknown;
  std::string boundary;
  if (!UsableBoundary(header, boundary)) return kTriteUnknown;
  return TriteFromBool(RegExMatchesWhole(boundary, kImsBoundaryShape, kWholeLoose));
}

TTrite MsBoundaryNonMsCheck(TEmailHeader& header) {
  std::string mailer;
  std::string boundary;
  if (!Mailer(header, mailer) || !UsableBoundary(header, boundary)) return kTriteUnknown;
  if (Contains(mailer, "Internet Mail Service") || Contains(mailer, "Microsoft"))
    return kTriteUnknown;
  return TriteFromBool(Contains(boundary, "_NextPart_"));
}

bool BoundaryMatchesMailer(TEmailHeader& header) {
  std::string mailer;
  std::string boundary;
  if (!Mailer(header, mailer) || !UsableBoundary(header, boundary)) return false;
  const auto whole = [&](const char* shape) {
    return RegExMatchesWhole(boundary, shape, kWholeLoose);
  };
  if (Contains(mailer, "Internet Mail Service") || Contains(mailer, "Outlook CWS"))
    return whole(kImsBoundaryShape);
  if (Contains(mailer, "Outlook Express"))
    return whole(kImsBoundaryShape) || whole(kOutlookExpressBoundaryShape);
  if (Contains(mailer, "Outlook")) return whole(kImsBoundaryShape);
  if (Contains(mailer, "Mozilla")) return whole(R"((--)?------------[0-9A-F]{24})");
  if (Contains(mailer, "Eudora")) return whole(R"((--)?=====================_[0-9]{1,15}==_\.ALT)");
  if (Contains(mailer, "GroupWise")) return whole(R"((--)?=_[0-9A-F]{8}\.[0-9A-F]{8})");
  return false;
}

TTrite OutlookExpressMsgIdCheck(TEmailHeader& header) {
  return MsgIdShapeCheck(header, "Outlook Express", kOutlookExpressIdShape);
}

TTrite ImsMsgIdCheck(TEmailHeader& header) {
  return MsgIdShapeCheck(header, "Internet Mail Service", kImsIdShape);
}

TTrite OutlookMsgIdCheck(TEmailHeader& header) {
  std::string mailer;
  if (header.IsKnownMailingList() || !Mailer(header, mailer)) return kTriteUnknown;
  bool present = false;
  const std::string id = MessageId(header, present);
  if (ContainsCI(mailer, "Microsoft Outlook CWS")) {
    if (!present || id.size() < 32 || id.front() != '<' || id.back() != '>') return kTriteNo;
    const std::size_t at = id.find('@');
    if (at == std::string::npos) return kTriteNo;
    for (char c : LowerCase1252(id.substr(1, at - 1)))
      if (!(c == '$' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return kTriteNo;
    return kTriteYes;
  }
  if (ContainsCI(mailer, "Microsoft Outlook IMO")) {
    if (!present) return kTriteNo;
    return TriteFromBool(RegExMatchesWhole(id, R"(<\w{28}\.\S+@.+>)", kWholeExact));
  }
  if (ContainsCI(mailer, "Microsoft Outlook, Build")) {
    if (!present) return kTriteNo;
    if (RegExMatchesWhole(id, kOutlookExpressIdShape, kWholeExact) ||
        RegExMatchesWhole(id, R"(<[0123456789ABCDEF]{38}@.+>)", kWholeExact))
      return kTriteYes;
    return kTriteUnknown;
  }
  return kTriteUnknown;
}

TTrite OutlookExpressHeadersCheck(TEmailHeader& header) {
  std::string mailer;
  if (!Mailer(header, mailer) || !ContainsCI(mailer, "Outlook Express")) return kTriteUnknown;
  for (std::string_view name : {"Message-ID", "From", "To", "Subject", "Date", "MIME-Version",
                                "Content-Type", "X-Priority", "X-Mailer", "X-MimeOLE"})
    if (!Has(header, name)) return kTriteNo;
  return kTriteYes;
}

TTrite MsMsgIdBoundaryCheck(TEmailHeader& header) {
  if (header.IsKnownMailingList()) return kTriteUnknown;
  try {
    bool present = false;
    const std::string id = MessageId(header, present);
    TMessageIdRec idRec;
    const int k1 = present ? ParseMessageIdPattern(id, idRec) : 0;
    const std::int32_t c1 = present ? idRec.Counter : -1;
    const std::string boundary = header.GetBoundary();
    TBoundaryPatternRec boundaryRec;
    const int k2 = boundary.empty() ? 0 : ParseBoundaryPattern(boundary, boundaryRec);
    const std::int32_t c2 = boundary.empty() ? -1 : boundaryRec.Counter;
    TDateTime date = 0;
    TDateTime zone = 0;
    // GetDate answers today for a missing Date: the id's time must not be
    // compared with that.
    const bool dated = Has(header, "Date") && DateParses(header.GetDate(date, zone));
    TTrite result = kTriteUnknown;
    if (k1 == 6 && (k2 == 0 || k2 == 2 || k2 == 3)) result = kTriteYes;
    if (k1 == 3 && k2 == 4 && c1 >= 0 && c2 >= 0) {
      if (std::abs(static_cast<std::int64_t>(c2) - c1) >= 50) return kTriteNo;
      result = kTriteYes;
    }
    if (dated && (k1 == 2 || k1 == 3)) {
      if (std::fabs(date + zone - idRec.Date) >= 2.0) return kTriteNo;
      result = kTriteYes;
    }
    if (dated && (k2 == 2 || k2 == 4)) {
      if (std::fabs(date + zone - boundaryRec.Date) >= 2.0) return kTriteNo;
      result = kTriteYes;
    }
    if ((k1 == 2 || k1 == 3) && IsDottedNumberText(idRec.SenderIP)) {
      const std::string& s = idRec.SenderIP;
      bool seen = false;
      std::string line;
      for (int n = 1; n <= 9 && !seen && header.GetReceivedLine(n, line); ++n)
        seen = Contains(line, s);
      if (seen) {
        result = kTriteYes;
      } else if (k1 == 2 && s.rfind("192", 0) != 0 && s.rfind("10", 0) != 0) {
        return kTriteNo;
      }
    }
    if (result == kTriteYes && (c2 > 1000 || c1 > 10000)) result = kTriteUnknown;
    return result;
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return kTriteUnknown;
  }
}

bool ReferencesConform(TEmailHeader& header) {
  std::string references;
  if (!header.GetValue("References", references)) return false;
  std::size_t start = 0;
  while (start <= references.size()) {
    std::size_t comma = references.find(',', start);
    if (comma == std::string::npos) comma = references.size();
    if (HasKnownIdShape(TrimText(std::string_view(references).substr(start, comma - start))))
      return true;
    start = comma + 1;
  }
  return false;
}

bool InReplyToConforms(TEmailHeader& header) {
  std::string value;
  if (!header.GetValue("In-Reply-To", value)) return false;
  return HasKnownIdShape(value);
}

// ---- DNS

TTrite FromDomainHasNoMX(TEmailHeader& header, int timeoutMs) {
  return Guarded(kTriteUnknown, [&] {
    TEmailAddress address;
    if (!FromAddress(header, address) || !NetworkTestsOn()) return kTriteUnknown;
    const std::string domain = address.GetDomain();
    if (domain.empty()) return kTriteUnknown;
    std::string host;
    if (DnsMXLookupFirst(domain, host, true, nullptr, timeoutMs) != dns_NoError)
      return kTriteUnknown;
    return TriteFromBool(host.empty());
  });
}

namespace {

struct TFixedList {
  const char* Label;
  const char* Name;
  const char* Zone;
  const char* WebSite;
  const char* Response;
  bool Enabled;
};

// The retired lists keep their old zones under ".invalid": some of those
// zones now answer "listed" for every address.
constexpr TFixedList kFixedLists[kFixedBlockListCount] = {
    {"ordb", "ORDB - Open Relay DataBase", "relays.ordb.org.invalid", "http://www.ordb.org/",
     "127.0.0.2", true},
    {"rsl", "RSL visi.com - Relay Stop List", "relays.visi.com.invalid",
     "http://relays.visi.com/", "127.0.0.2", true},
    {"sbl", "SBL - Spamhaus Block List", "sbl.spamhaus.org", "https://www.spamhaus.org/sbl/",
     "127.0.0.2", true},
    {"dsbl", "DSBL LIST - Single-stage relays tested by trusted users",
     "list.dsbl.org.invalid", "http://dsbl.org/", "127.0.0.2", true},
    {"multihop", "DSBL MULTIHOP - Multihop relays tested by trusted users.",
     "multihop.dsbl.org.invalid", "http://dsbl.org/", "127.0.0.2", true},
    {"unconfirmed",
     "DSBL UNCONFIRMED - listings by anonymous users, Single-stage relays and multihop relays.",
     "unconfirmed.dsbl.org.invalid", "http://dsbl.org/", "127.0.0.2", true},
    {"ipwhois", "IPWHOIS - Bad IP-Whois", "ipwhois.rfc-ignorant.org.invalid",
     "http://www.rfc-ignorant.org/", "127.0.0.6", false},
    {"spamcop", "SPAMCOP - SpamCop Blocking List", "bl.spamcop.net", "https://www.spamcop.net/",
     "127.0.0.2", true},
};

// The tests' zone (see TScopedFixedBlockListZone); empty in the program.
std::string gFixedZoneForTests;

}  // namespace

TDNSRBLServerRec FixedBlockListRow(TFixedBlockList list) {
  const TFixedList& fixed = kFixedLists[static_cast<int>(list)];
  TDNSRBLServerRec row;
  row.Name = fixed.Name;
  row.Domain = gFixedZoneForTests.empty() ? std::string(fixed.Zone)
                                          : std::string(fixed.Label) + "." + gFixedZoneForTests;
  row.WebSite = fixed.WebSite;
  row.Response = fixed.Response;
  row.Enabled = fixed.Enabled;
  return row;
}

TScopedFixedBlockListZone::TScopedFixedBlockListZone(const std::string& zone) {
  gFixedZoneForTests = zone;
}
TScopedFixedBlockListZone::~TScopedFixedBlockListZone() { gFixedZoneForTests.clear(); }

bool TestLastExternalIP(TEmailHeader& header, const TDNSRBLServerRec& row, int waitMs) {
  if (!NetworkTestsOn() || IsClosedDnsrblZone(row.Domain)) return false;
  auto* msg = dynamic_cast<TEmailMsg*>(header.GetMsg());
  if (msg == nullptr) return false;
  TAsynchDNSRBLLookup* lookups = DnsrblLookupOf(*msg);
  if (lookups == nullptr) return false;
  int index = 0;
  std::string address;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    if (!header.GetLastExternalReceivedIP(index, address)) return false;
  }
  if (StrToIP(address) == 0 || IsLocalHostAddress(address)) return false;
  const int query = lookups->AddQueryForIP(address, row, -1);
  if (waitMs == 0) return false;
  lookups->Perform(waitMs, nullptr, 0);
  try {
    const TAsynchDNSRBLQuery answered = lookups->GetQuery(query);
    return answered.State == dns_NoError && DnsrblAnswerMatches(IPToStr(answered.Answer), row);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return false;
  }
}

bool InFixedBlockList(TEmailHeader& header, TFixedBlockList list, int waitMs) {
  return TestLastExternalIP(header, FixedBlockListRow(list), waitMs);
}
bool InOrdb(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::Ordb, waitMs);
}
bool InRelayStopList(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::RelayStopList, waitMs);
}
bool InSpamhausSbl(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::SpamhausSbl, waitMs);
}
bool InDsblList(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::DsblList, waitMs);
}
bool InDsblMultihop(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::DsblMultihop, waitMs);
}
bool InDsblUnconfirmed(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::DsblUnconfirmed, waitMs);
}
bool InIpWhois(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::IpWhois, waitMs);
}
bool InSpamCop(TEmailHeader& header, int waitMs) {
  return InFixedBlockList(header, TFixedBlockList::SpamCop, waitMs);
}

void PrefetchBlockListQueries(TEmailHeader& header) {
  for (int i = 0; i < kFixedBlockListCount; ++i)
    InFixedBlockList(header, static_cast<TFixedBlockList>(i), 0);
}

bool IsMultihopFudge(TEmailHeader& header) {
  return InDsblMultihop(header, kBlockListRuleWaitMs) &&
         (InOrdb(header, kBlockListRuleWaitMs) || InRelayStopList(header, kBlockListRuleWaitMs) ||
          InDsblList(header, kBlockListRuleWaitMs));
}

// ---- The rule program's calls

void TRuleHeaderEvaluations::RelayPathRules(TEmailMsg& msg, IRuleResultSink& sink) {
  bool dialupMid = false;
  bool otherZone = false;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    TEmailHeader* header = msg.GetHeader();
    if (header != nullptr) {
      dialupMid = HasDialupMidReceived(*header);
      otherZone = IsDialupFromOtherZone(*header);
    }
  }
  sink.HandleTestResult(dialupMid, 141);
  sink.HandleTestResult(otherZone, 522);
  sink.HandleTestResult(otherZone, 523);
}

bool TRuleHeaderEvaluations::ImsBoundaryFails(TEmailMsg& msg) {
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailHeader* header = msg.GetHeader();
  return header != nullptr && ImsBoundaryCheck(*header) == kTriteNo;
}

bool TRuleHeaderEvaluations::EvalHeaderAreas(TEmailMsg& msg, IRuleResultSink& sink,
                                             const std::atomic<bool>* abort) {
  struct TDecision {
    std::uint16_t Rule;
    bool Fired;
  };
  std::vector<TDecision> decisions;
  TEmailHeader* header = nullptr;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    header = msg.GetHeader();
    if (header == nullptr) return true;
    TEmailHeader& h = *header;
    const auto add = [&](std::uint16_t rule, bool fired) { decisions.push_back({rule, fired}); };
    add(441, SubjectHasUniqueId(h));
    add(443, SubjectIsAllCaps(h));
    const int hours = DateToReceivedHours(h);
    add(453, -6 < hours && hours < -3);
    add(454, -12 < hours && hours < -6);
    add(455, -24 < hours && hours < -12);
    add(456, -48 < hours && hours < -24);
    add(457, -96 < hours && hours < -48);
    add(458, hours < -96);
    add(459, 3 < hours && hours < 6);
    add(460, 6 < hours && hours < 12);
    add(461, 12 < hours && hours < 24);
    add(462, 24 < hours && hours < 48);
    add(463, 48 < hours && hours < 96);
    add(464, hours > 96);
    add(475, HasForgedAolRelay(h));
    add(482, HasAuthenticationWarning(h));
    add(483, SubjectFullOf8Bit(h));
    add(505, HasManyCCAddresses(h));
    add(506, IsForgedHotmail(h));
    add(507, IsForgedEudoramail(h));
    add(508, IsForgedYahoo(h));
    add(509, IsForgedJuno(h));
    add(510, CheckDomainReceived(h, kEbayMailDomain, true));
    add(511, CheckDomainReceived(h, kEbayMailDomain, false));
    add(512, HasForgedGatewayReceived(h));
    add(531, IsHtmlOnly(h));
    add(533, HasNoRecipientHeader(h));
    add(577, MissingMimeOle(h));
    add(578, OutlookHeadersWithoutOutlook(h));
    add(579, PriorityWithoutMailer(h));
    add(580, FromNameMatchesAddress(h));
    add(175, FromDomainInFirstReceived(h));
    add(497, IsInternalMail(h));
    add(47, SubjectHasSpaceRun(h));
    add(101, SubjectLooksRandom1(h));
    add(447, FromLocalPartLooksRandom(h));
    add(176, SubjectLooksRandom3(h));
    add(177, SubjectWasEncoded(h));
    add(369, SubjectNeedlesslyEncoded(h));
    add(476, MsBoundaryCheck(h) == kTriteNo);
    add(477, ImsBoundaryCheck(h) == kTriteNo);
    add(478, MsBoundaryNonMsCheck(h) == kTriteYes);
    add(479, BoundaryMatchesMailer(h));
    const TEmailMsg::TBodyFlags flags = msg.GetBodyFlags();
    add(480, flags.IsAlternative && !flags.HasPlainPart);
    add(481, flags.IsAlternative && !flags.HasHtmlPart);
    TTrite msgId = OutlookExpressMsgIdCheck(h);
    if (msgId == kTriteUnknown) msgId = OutlookMsgIdCheck(h);
    if (msgId == kTriteUnknown) msgId = ImsMsgIdCheck(h);
    add(542, msgId == kTriteNo);
    add(543, msgId == kTriteYes);
    const TTrite bound = MsMsgIdBoundaryCheck(h);
    add(2, bound == kTriteNo);
    add(3, bound == kTriteYes);
    const TTrite headers = OutlookExpressHeadersCheck(h);
    add(0, headers == kTriteNo);
    add(1, headers == kTriteYes);
    add(582, ReferencesConform(h));
    add(597, InReplyToConforms(h));
  }
  // Reported outside the message's lock: the sink writes the message's side
  // record.
  for (const TDecision& d : decisions) sink.HandleTestResult(d.Fired, d.Rule);

  // SA_BL: the waits run without the message's lock.
  static constexpr std::uint16_t kListRules[kFixedBlockListCount] = {488, 489, 490, 492,
                                                                       493, 494, 495, 496};
  for (int i = 0; i < kFixedBlockListCount; ++i) {
    if (i > 0 && abort != nullptr && abort->load()) return false;
    sink.HandleTestResult(
        InFixedBlockList(*header, static_cast<TFixedBlockList>(i), kBlockListRuleWaitMs),
        kListRules[i]);
  }
  if (abort != nullptr && abort->load()) return false;
  sink.HandleTestResult(IsMultihopFudge(*header), 501);
  return true;
}

}  // namespace halvorn
