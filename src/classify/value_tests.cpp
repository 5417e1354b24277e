#include "classify/value_tests.h"

#include <vector>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/net/host_names.h"
#include "foundation/regex/phrase_wildcards.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_library.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"

namespace halvorn {

const std::string kWildcardNote =
    "\r\n"
    "\"Wild Card\" characters are acceptable for use here.  Wildcards allow you to match "
    "patterns of text, thus avoiding the need to make an exhaustive list of phrases to check "
    "for.\r\n"
    "For example: If you want to look for the word \"Sex\" anywhere in the text you would "
    "search for \"*Sex*\".  If you wanted to check for text starting with \"Sex\" you would "
    "search for \"Sex*\".\r\n"
    "Note that space characters ARE significant, so searching for \"Sex \" will give different "
    "results than searching for \"Sex\".\r\n"
    "The list of wildcard characters and their meanings are as follows:\r\n"
    "  \"*\" = match any substring (including blank/nothing)\r\n"
    "  \"?\" = match any single character\r\n"
    "  \"#\" = match any numeric character (0..9)\r\n"
    "  \"^\" = match any alpha character (A..Z, a..z)\r\n"
    "  \"$\" = match any alphanumeric character\r\n"
    "  \"~\" = match any non-alphanumeric, non-space character";

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr int kPassedLevel = 9;
constexpr int kFailedLevel = 5;
constexpr int kTagValueDetailLevel = 6;

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// The standard test a built-in list's answer also goes to, by the list's
// exact name; -1 for any other list.
std::int32_t BuiltInListTestNumber(const std::string& listName) {
  static const struct {
    const char* List;
    std::int32_t Number;
  } kLists[] = {
      {"{Approved Senders}", TESTNUM_APPROVED_SENDER},
      {"{Banned Senders}", TESTNUM_BANNED_SENDER},
      {"{Approved Subject Lines}", TESTNUM_APPROVED_SUBJECT},
      {"{Banned Subject Lines}", TESTNUM_BANNED_SUBJECT},
      {"{Sent Message ids}", TESTNUM_KNOWN_MSGID},
  };
  for (const auto& entry : kLists)
    if (listName == entry.List) return entry.Number;
  return -1;
}

// The decoded, unfolded value of the message's header field; empty when it
// is absent.
std::string HeaderValue(TEmailMsg& msg, const std::string& field) {
  std::string value;
  TCriticalSectionGuard guard(msg.MessageLock());
  if (TEmailHeader* header = msg.GetHeader()) header->GetValue(field, value);
  return value;
}

}  // namespace

std::shared_ptr<TPhrases> FindGlobalPhraseList(std::string_view name) {
  const std::shared_ptr<TPhrasesList> lists = GlobalPhrasesList();
  return lists ? lists->FindList(name) : nullptr;
}

std::string ListDescriptionText(TPhrases* list) {
  if (list == nullptr) return {};
  const std::string description = list->Description();
  if (description.empty()) return {};
  return std::string(kCrLf) + kCrLf + "Description of the list is as follows:" + kCrLf +
         description;
}

// ---------------------------------------------------------------------------
// TTagAndValueTest

std::string TTagAndValueTest::Tag() const {
  TCriticalSectionGuard guard(TestLock());
  return FTag;
}

void TTagAndValueTest::SetTag(const std::string& tag) {
  TCriticalSectionGuard guard(TestLock());
  FTag = tag;
}

std::string TTagAndValueTest::Value() const {
  TCriticalSectionGuard guard(TestLock());
  return FValue;
}

void TTagAndValueTest::SetValue(const std::string& value) {
  TCriticalSectionGuard guard(TestLock());
  FValue = value;
}

TTagAndValueTest::TSettings TTagAndValueTest::Settings() const {
  std::string name = Name();
  TCriticalSectionGuard guard(TestLock());
  return {std::move(name), FTag, FValue};
}

void TTagAndValueTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const TSettings settings = Settings();
  const std::string section = SectionName();
  ini.WriteString(section, "Tag", settings.Tag);
  ini.WriteString(section, "Value", settings.Value);
}

void TTagAndValueTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::string tag = ini.ReadString(section, "Tag", "");
  std::string value = ini.ReadString(section, "Value", "");
  TCriticalSectionGuard guard(TestLock());
  FTag = std::move(tag);
  FValue = std::move(value);
}

void TTagAndValueTest::PhraseListRenamed(const std::string& newName, const std::string& oldName) {
  TCriticalSectionGuard guard(TestLock());
  if (FValue == oldName) FValue = newName;
}

std::string TTagAndValueTest::DescribeValue(const std::string& tagWords) {
  const std::string value = Value();
  const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(value);
  const std::string text = list ? "email has one of the phrases in the list" + Quoted(value) +
                                      " as the value for " + tagWords +
                                      ListDescriptionText(list.get())
                                : "email has " + Quoted(value) + " as the value for " + tagWords;
  return DescriptionWithReason(Validate(), text);
}

std::string TTagAndValueTest::Validate() {
  const TSettings settings = Settings();
  if (settings.Name.empty()) return kTestHasNoName;
  if (settings.Tag.empty()) return "tag is not specified";
  if (settings.Value.empty()) return "value is not specified";
  return {};
}

// ---------------------------------------------------------------------------
// TTagValueTest

std::string TTagValueTest::Describe() {
  return DescribeValue(Quoted(Tag()));
}

bool TTagValueTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer)) return answer;
  const TSettings s = Settings();
  std::string read;
  std::string piece;
  bool byList = false;
  auto judge = [&] {
    read = HeaderValue(msg, s.Tag);
    if (SameText1252(s.Tag, "Subject")) StripShortPrefixes(read);
    const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.Value);
    byList = list != nullptr;
    if (!byList) return WildcardFind(read, s.Value, false);
    list->PurgeExpired();
    const bool found = list->FindMatch(read, piece, true) >= 0;
    const std::int32_t number = BuiltInListTestNumber(list->Name());
    if (number >= 0) RecordStandardTestAt(msg, number, found);
    return found;
  };
  auto close = [&](bool result) {
    std::string detail;
    if (result && byList && piece == s.Value) {
      detail = "The text: " + Quoted(piece) + " for " + Quoted(s.Tag) + " was found in the list " +
               Quoted(s.Value) + ".";
    } else if (result && byList) {
      detail = "The substring: " + Quoted(piece) + " of the tag value: " + Quoted(read) +
               " for the tag " + Quoted(s.Tag) + " was found in the list " + Quoted(s.Value) + ".";
    } else if (result) {
      detail = "The substring: \"\" of the read value: " + Quoted(read) +
               " matched the search value " + Quoted(s.Value) + " for the tag " + Quoted(s.Tag) +
               ".";
    } else if (byList) {
      detail = "The value: " + Quoted(read) + " did not match any search values in the list " +
               Quoted(s.Value) + " for the tag " + Quoted(s.Tag) + ".";
    } else {
      detail = "The value: " + Quoted(read) + " did not match the search value " + Quoted(s.Value) +
               " for the tag " + Quoted(s.Tag) + ".";
    }
    const std::string headline = std::string("email ") + (result ? "passed" : "failed") +
                                 " tag value test: " + Quoted(s.Name) + ".";
    CloseEvaluation(msg, result, headline, result ? kPassedLevel : kFailedLevel, detail,
                    result ? kTagValueDetailLevel : kFailedLevel);
  };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TBodyTextTest

std::string TBodyTextTest::Value() const {
  TCriticalSectionGuard guard(TestLock());
  return FValue;
}

void TBodyTextTest::SetValue(const std::string& value) {
  TCriticalSectionGuard guard(TestLock());
  FValue = value;
}

bool TBodyTextTest::InlineOnly() const {
  TCriticalSectionGuard guard(TestLock());
  return FInlineOnly;
}

void TBodyTextTest::SetInlineOnly(bool inlineOnly) {
  TCriticalSectionGuard guard(TestLock());
  FInlineOnly = inlineOnly;
}

TBodyTextTest::TSettings TBodyTextTest::Settings() const {
  std::string name = Name();
  TCriticalSectionGuard guard(TestLock());
  return {std::move(name), FValue, FInlineOnly};
}

void TBodyTextTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const TSettings settings = Settings();
  const std::string section = SectionName();
  ini.WriteString(section, "Value", settings.Value);
  ini.WriteBool(section, "InlineOnly", settings.InlineOnly);
}

void TBodyTextTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::string value = ini.ReadString(section, "Value", "");
  const bool inlineOnly = ini.ReadBool(section, "InlineOnly", false);
  TCriticalSectionGuard guard(TestLock());
  FValue = std::move(value);
  FInlineOnly = inlineOnly;
}

void TBodyTextTest::PhraseListRenamed(const std::string& newName, const std::string& oldName) {
  TCriticalSectionGuard guard(TestLock());
  if (FValue == oldName) FValue = newName;
}

std::string TBodyTextTest::Validate() {
  const TSettings settings = Settings();
  if (settings.Name.empty()) return kTestHasNoName;
  if (settings.Value.empty()) return "no text to search for has been specified";
  return {};
}

std::string TBodyTextTest::Describe() {
  const TSettings s = Settings();
  const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.Value);
  std::string text;
  if (list && s.InlineOnly) {
    text = "email contains one of the phrases in the list " + Quoted(s.Value) +
           " in the body of the email.";
  } else if (list) {
    text = "Search for the phrases contained in the list " + Quoted(s.Value) +
           " in formatted email text.";
  } else if (s.InlineOnly) {
    text = "Search for the text " + Quoted(s.Value) + " in the body of the email.";
  } else {
    text = "Search for the text " + Quoted(s.Value) + " in formatted email text.";
  }
  return DescriptionWithReason(Validate(), text + ListDescriptionText(list.get()));
}

bool TBodyTextTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const TSettings s = Settings();
  auto aborted = [abort] { return Aborted(abort); };
  std::string piece;
  std::string entry;
  bool byList = false;
  auto judge = [&] {
    TStringList lines;
    if (s.InlineOnly) {
      TStringList plain;
      msg.GetPlainText(plain, false);
      std::string text;
      for (int i = 0; i < plain.Count(); ++i) text += plain[i] + " ";
      if (aborted()) return false;
      TStringList sentences;
      SplitIntoSentences(text, sentences, true);
      for (int i = 0; i < sentences.Count(); ++i) lines.Add(" " + sentences[i] + " ");
      std::string subject;
      {
        TCriticalSectionGuard guard(msg.MessageLock());
        TEmailHeader* header = msg.GetHeader();
        if (header != nullptr && header->GetSubject(subject)) lines.Add(subject);
      }
    } else {
      TCriticalSectionGuard guard(msg.MessageLock());
      TEmailMsgPart* plain = nullptr;
      TEmailMsgPart* html = nullptr;
      msg.GetTextParts(plain, html);
      for (TEmailMsgPart* part : {plain, html}) {
        if (part == nullptr) continue;
        TStringList decoded;
        part->DecodeToStringList(decoded, false);
        lines.AddStrings(decoded);
      }
      TEmailMsgPartCollection& parts = msg.GetParts();
      if (lines.Empty() && parts.Count() > 0) parts.Items(0)->DecodeToStringList(lines, false);
    }
    if (aborted()) return false;
    const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.Value);
    byList = list != nullptr;
    for (int i = 0; i < lines.Count(); ++i) {
      if (byList) {
        list->PurgeExpired();
        if (list->FindMatch(" " + lines[i] + " ", piece, false, &entry) >= 0) return true;
      } else if (WildcardExtract(lines[i], s.Value, false, piece, false)) {
        return true;
      }
    }
    return false;
  };
  auto close = [&](bool result) {
    std::string detail;
    if (result && byList) {
      detail = "The search text " + Quoted(entry) + " from the list " + Quoted(s.Value) +
               " matched the message text " + Quoted(piece) + ".";
    } else if (result) {
      detail =
          "The search text " + Quoted(s.Value) + " matched the message text " + Quoted(piece) + ".";
    } else if (byList) {
      detail = "Could not match any search values in the list " + Quoted(s.Value) +
               " to the email text.";
    } else {
      detail = "Could not match the search value " + Quoted(s.Value) + " to the email text.";
    }
    const std::string headline = std::string("email ") + (result ? "passed" : "failed") +
                                 " \"Message Contains Text\" test: " + Quoted(s.Name) + ".";
    CloseEvaluation(msg, result, headline, result ? kPassedLevel : kFailedLevel, detail, -1);
  };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TIPCheckTest

namespace {

// A relay's dotted address, and whether it is this machine: asked only when
// a pattern matches the address (the machine's addresses are read from the
// interfaces at every question), and then once.
struct TRelay {
  std::string Address;
  int Local = -1;  // -1 not asked yet, else 0 or 1
};

// The sending addresses of the Received lines the relay number asks for
// (every line from the origin on for 0), leaving out lines without one and
// addresses that are no dotted IPv4 address.
std::vector<TRelay> RelayAddresses(TEmailMsg& msg, std::int32_t number) {
  std::vector<std::string> found;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    TEmailHeader* header = msg.GetHeader();
    if (header == nullptr) return {};
    std::string address;
    if (number != 0) {
      if (header->GetReceivedIP(number, address)) found.push_back(address);
    } else {
      const int count = header->ReceivedCount();
      for (int n = 1; n <= count; ++n)
        if (header->GetReceivedIP(n, address)) found.push_back(address);
    }
  }
  std::vector<TRelay> relays;
  for (std::string& address : found)
    if (IsIPAddress(address)) relays.push_back({std::move(address)});
  return relays;
}

// The first relay address in which the pattern stands (wildcards, ignoring
// case) and that is not this machine's; empty when none. Outside the
// message's lock: the own addresses may have to be looked up.
std::string MatchingRelay(std::vector<TRelay>& relays, const std::string& pattern) {
  if (pattern.empty()) return {};
  for (TRelay& relay : relays) {
    int start = -1;
    WildcardScan(relay.Address, pattern, start);
    if (start == 0) continue;
    if (relay.Local < 0) relay.Local = IsLocalHostAddress(relay.Address) ? 1 : 0;
    if (relay.Local == 0) return relay.Address;
  }
  return {};
}

}  // namespace

std::string TIPCheckTest::IPRange() const {
  TCriticalSectionGuard guard(TestLock());
  return FIPRange;
}

void TIPCheckTest::SetIPRange(const std::string& range) {
  TCriticalSectionGuard guard(TestLock());
  FIPRange = range;
}

std::int32_t TIPCheckTest::IPNumber() const {
  TCriticalSectionGuard guard(TestLock());
  return FIPNumber;
}

void TIPCheckTest::SetIPNumber(std::int32_t number) {
  TCriticalSectionGuard guard(TestLock());
  FIPNumber = number;
}

TIPCheckTest::TSettings TIPCheckTest::Settings() const {
  std::string name = Name();
  TCriticalSectionGuard guard(TestLock());
  return {std::move(name), FIPRange, FIPNumber};
}

void TIPCheckTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const TSettings settings = Settings();
  const std::string section = SectionName();
  ini.WriteString(section, "IPRange", settings.IPRange);
  ini.WriteInteger(section, "IPNumber", settings.IPNumber);
}

void TIPCheckTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::string range = ini.ReadString(section, "IPRange", "");
  const auto number = static_cast<std::int32_t>(ini.ReadInteger(section, "IPNumber", 2147483647));
  TCriticalSectionGuard guard(TestLock());
  FIPRange = std::move(range);
  FIPNumber = number;
}

void TIPCheckTest::PhraseListRenamed(const std::string& newName, const std::string& oldName) {
  TCriticalSectionGuard guard(TestLock());
  if (FIPRange == oldName) FIPRange = newName;
}

std::string TIPCheckTest::Validate() {
  const TSettings settings = Settings();
  if (settings.Name.empty()) return kTestHasNoName;
  if (settings.IPRange.empty()) return "no IP range specified";
  return {};
}

std::string TIPCheckTest::Describe() {
  const TSettings s = Settings();
  const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.IPRange);
  const std::string hops = std::to_string(Magnitude64(s.IPNumber));
  std::string server;
  if (s.IPNumber == 0) {
    server = "Any server this email passed through matches ";
  } else if (s.IPNumber < 0) {
    server = "The server " + hops + " hop(s) before we received it matches ";
  } else {
    server = "The server " + hops + " hop(s) from the email's origin matches ";
  }
  const std::string text = server + (list ? "an IP address in the list " : "") + Quoted(s.IPRange) +
                           "." + ListDescriptionText(list.get()) + kCrLf +
                           "Note: This test will return False for local (127.*) IP addresses." +
                           kCrLf + kWildcardNote.substr(2);
  return DescriptionWithReason(Validate(), text);
}

bool TIPCheckTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const TSettings s = Settings();
  std::string ip;
  std::string entry;
  bool byList = false;
  auto judge = [&] {
    std::vector<TRelay> relays = RelayAddresses(msg, s.IPNumber);
    const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.IPRange);
    byList = list != nullptr;
    if (!byList) {
      ip = MatchingRelay(relays, s.IPRange);
      return !ip.empty();
    }
    // One copy of the entries after the purge: the walk meets no entry the
    // purge or the editor removes meanwhile, and pays for one lock.
    list->PurgeExpired();
    const TStringList entries = list->EntryTexts();
    for (int i = 0; i < entries.Count() && !relays.empty(); ++i) {
      ip = MatchingRelay(relays, entries[i]);
      if (!ip.empty()) {
        entry = entries[i];
        return true;
      }
    }
    return false;
  };
  auto close = [&](bool result) {
    std::string detail;
    if (result && byList) {
      detail = "The search IP address " + Quoted(entry) + " from the list " + Quoted(s.IPRange) +
               " matched the IP address " + Quoted(ip) + " from the email.";
    } else if (result) {
      detail = "The search IP address " + Quoted(s.IPRange) + " matched the IP address " +
               Quoted(ip) + " from the email.";
    } else if (byList) {
      detail = "Could not match any search IP addresses in the list " + Quoted(s.IPRange) +
               " to any server(s) this email passed through.";
    } else {
      detail = "Could not match the search IP address " + Quoted(s.IPRange) +
               " to any server(s) this email passed through.";
    }
    const std::string headline = std::string("email ") + (result ? "passed" : "failed") +
                                 " Sender IP Check test " + Quoted(s.Name) + ".";
    CloseEvaluation(msg, result, headline, result ? kPassedLevel : kFailedLevel, detail, -1);
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
