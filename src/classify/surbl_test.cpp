#include "classify/surbl_test.h"

#include <mutex>
#include <utility>

#include "foundation/dns/dns_lookups.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "lists/network_tests.h"
#include "message/email_msg.h"
#include "message/host_and_domain.h"

namespace halvorn {

namespace {

std::mutex gZoneMutex;
std::string gZone = kSurblZone;

struct TSubListInfo {
  const char* Key;          // the settings key
  const char* Explanation;  // what a set bit says
  const char* Phrase;       // Describe's words
};
// By answer bit 1 to 6.
constexpr TSubListInfo kSubLists[TSURBLTest::slCount] = {
    {"SpamCop", " listed by SpamCop", "SpamCop message-body URI domains OR"},
    {"Ws", " listed by sa-blacklist", "sa-blacklist domains as a SURBL OR"},
    {"Phishing", " listed as a phishing data source", "Phishing data source OR"},
    {"OutBlaze", " listed by OutBlaze", "OutBlaze spamvertised sites OR"},
    {"AbuseButler", " listed by AbuseButler", "AbuseButler spamvertised sites OR"},
    {"jwSpamSpy", " listed by jwSpamSpy or Prolocation", "jwSpamSpy + Prolocation data source OR"},
};
// Describe's order of the settings.
constexpr TSURBLTest::TSubList kDescribeOrder[] = {
    TSURBLTest::slSpamCop,     TSURBLTest::slWs,       TSURBLTest::slOutBlaze,
    TSURBLTest::slAbuseButler, TSURBLTest::slPhishing, TSURBLTest::slJwSpamSpy};

std::string QuestionName(const std::string& domain, const std::string& zone) {
  return (IsIPAddress(domain) ? ReverseDottedLabels(domain) : domain) + "." + zone;
}

}  // namespace

std::string SurblZone() {
  std::lock_guard<std::mutex> lock(gZoneMutex);
  return gZone;
}

TScopedSurblZoneForTests::TScopedSurblZoneForTests(const std::string& zone) {
  std::lock_guard<std::mutex> lock(gZoneMutex);
  FOld = std::exchange(gZone, zone);
}

TScopedSurblZoneForTests::~TScopedSurblZoneForTests() {
  std::lock_guard<std::mutex> lock(gZoneMutex);
  gZone = FOld;
}

TSURBLTest::TSURBLTest()
    : TNNTest(kInputs, "SURBL NN",
              {"sc.surbl.org", "ws.surbl.org", "ph.surbl.org", "ob.surbl.org", "ab.surbl.org",
               "jp.surbl.org", "surbl AllClean"}) {
  Net().SetAutoInit(false);
}

TSURBLTest::TSettings TSURBLTest::Settings() const {
  TCriticalSectionGuard guard(TestLock());
  return FSettings;
}

void TSURBLTest::SetSettings(const TSettings& settings) {
  TCriticalSectionGuard guard(TestLock());
  FSettings = settings;
}

std::string TSURBLTest::ListCode() const {
  TCriticalSectionGuard guard(TestLock());
  return FListCode;
}

void TSURBLTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  const TSettings settings = Settings();
  for (TSubList list : kDescribeOrder)
    ini.WriteBool(SectionName(), kSubLists[list].Key, settings[list]);
}

void TSURBLTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  TSettings settings = Settings();
  for (TSubList list : kDescribeOrder)
    settings[list] = ini.ReadBool(SectionName(), kSubLists[list].Key, settings[list]);
  SetSettings(settings);
}

std::string TSURBLTest::Describe() {
  const TSettings settings = Settings();
  std::string phrases;
  for (TSubList list : kDescribeOrder)
    if (settings[list]) phrases += kSubLists[list].Phrase;
  if (phrases.empty())
    return std::string("The email contains links but none are listed with ") + kSurblWebAddress;
  phrases.resize(phrases.size() - 2);
  return std::string("The email contains a link that is listed with ") + kSurblWebAddress +
         " as:" + phrases + ".";
}

void TSURBLTest::Preprocess(TEmailMsg& msg) {
  if (!NetworkTestsOn()) return;
  TCriticalSectionGuard guard(msg.MessageLock());
  if (msg.UriDomains()) return;
  TStringList urls;
  msg.GetUrls(urls);
  TStringList hosts;
  for (int i = 0; i < urls.Count(); ++i) {
    const std::string host = LowerCase1252(HostOfUrl(urls[i]));
    if (!host.empty()) hosts.Add(host);
  }
  RemoveDuplicateLines(hosts, true);
  TStringList domains;
  for (int i = 0; i < hosts.Count(); ++i) domains.Add(RegisteredDomain(hosts[i]));
  RemoveDuplicateLines(domains, true);
  auto list = std::make_unique<TStringList>();
  const std::string zone = SurblZone();
  TMultiDNSResolver& resolver = GlobalDnsResolver();
  for (int i = 0; i < domains.Count(); ++i) {
    std::uint16_t id = 0;
    // A hostile message of thousands of links must not flood the resolver:
    // the domains beyond the bound count as lost.
    if (i < kMaxUriDomains) {
      id = resolver.AddQuery(QuestionName(domains[i], zone), TQTypeSet{qA}, true);
      if (id != 0) resolver.HoldQuery(id);
    }
    list->AddNumber(domains[i], id);
  }
  msg.UriDomains() = std::move(list);
}

bool TSURBLTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  if (Aborted(abort)) return false;
  if (NetworkTestsOn()) {
    bool collected = false;
    {
      TCriticalSectionGuard guard(msg.MessageLock());
      collected = msg.UriDomains() != nullptr;
    }
    if (!collected) Preprocess(msg);
  }
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  {
    TCriticalSectionGuard guard(TestLock());
    FListCode.clear();
  }
  const std::string name = Name();
  if (!NetworkTestsOn()) {
    AddExplanation("email failed SURBL Test: \"" + name + "\".", 9);
    AddExplanation("Network tests are switched off", -1);
    return false;
  }
  TStringList domains;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    if (msg.UriDomains()) domains = *msg.UriDomains();
  }
  const std::string zone = SurblZone();
  TMultiDNSResolver& resolver = GlobalDnsResolver();
  TSimpleHtml lines;
  auto line = [&](const std::string& text) { lines.AddLine(text, -1, kHtmlKindAll, true); };
  bool clean = false;
  std::uint32_t code = 0;
  if (domains.Empty()) {
    line("Email contained no domains to test");
  } else {
    clean = true;
    for (int i = 0; i < domains.Count(); ++i) {
      const std::string& domain = domains[i];
      const auto id = static_cast<std::uint16_t>(domains.Numbers(i));
      std::unique_ptr<TQueryResults> results;
      const int r = id == 0 ? -2 : resolver.GetResult(id, results);
      if (r > 0) {
        line("Query on " + domain + " timed out after " + std::to_string(r) + " miliseconds");
        clean = false;
        continue;
      }
      if (r != -1 || !results) {
        line("Query on " + domain + " was lost");
        clean = false;
        continue;
      }
      const auto* record =
          dynamic_cast<const TARecord*>(results->FindRecord(qA, QuestionName(domain, zone)));
      if (record == nullptr) {
        line(domain + " was not listed.");
        continue;
      }
      const std::uint32_t number = record->IPNumber();
      const std::uint32_t mask = number >> 24;
      if (mask != 0) clean = false;
      line(domain + " returned " + record->IPAddress);
      for (int bit = 1; bit <= slCount; ++bit)
        if ((mask & (1u << bit)) != 0) line(domain + kSubLists[bit - 1].Explanation);
      if ((number & 0xFFu) == 127) code |= mask;
    }
  }
  const TSettings settings = Settings();
  bool result = false;
  std::string listCode;
  if (clean) {
    listCode = "0";
    line("No urls were listed by SURBL.");
    result = true;
    for (bool on : settings)
      if (on) result = false;
  } else if (code != 0) {
    listCode = std::to_string(code);
    for (int bit = 1; bit <= slCount; ++bit)
      if ((code & (1u << bit)) != 0 && settings[static_cast<std::size_t>(bit - 1)]) result = true;
  }
  {
    TCriticalSectionGuard guard(TestLock());
    FListCode = listCode;
  }
  CacheResult(msg, result);
  PutHeadlineFirst(lines,
                   std::string(result ? "email passed" : "email failed") + " SURBL Test: \"" +
                       name + "\".",
                   9);
  PublishExplanation(std::move(lines));
  return result;
}

std::string TSURBLTest::GetResultCode(std::int32_t msgKey) {
  std::string code = TNNTest::GetResultCode(msgKey);
  const std::string listCode = ListCode();
  if (!listCode.empty()) CommaTextSetValue("CR", listCode, code);
  return code;
}

TVectorFloat TSURBLTest::BuildNNInputs(const std::string& resultCode) {
  TVectorFloat inputs(kInputs, 0.0);
  std::int32_t code = 0;
  if (!TryStrToInt(CommaTextValue(resultCode, "CR"), code)) return inputs;
  const std::uint32_t m = static_cast<std::uint32_t>(code) & 0xFFu;
  if (m == 0) {
    inputs[6] = 1.0;
    return inputs;
  }
  // Input i follows bit i: bit 0, which no answer sets, feeds input 0, and
  // bit 6 feeds none. The flagship's stored weights were learnt this way.
  for (int i = 0; i < 6; ++i)
    if ((m & (1u << i)) != 0) inputs[static_cast<std::size_t>(i)] = 1.0;
  return inputs;
}

void TSURBLTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
