#include "classify/black_hole_test.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "foundation/app/developer_mode.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_compression.h"
#include "foundation/threads/abandonment.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "lists/network_tests.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kResultLevel = 11;
constexpr std::size_t kStoredNeuronBytes = TBlackHoleTest::kInputs * 4;

std::atomic<std::int32_t> gNextOwnerTag{1};

std::int32_t NewOwnerTag() {
  std::int32_t tag = gNextOwnerTag.fetch_add(1);
  // After two thousand million tests the tags would wrap; skip 0 and -1.
  while (tag == 0 || tag == -1) tag = gNextOwnerTag.fetch_add(1);
  return tag;
}

std::vector<std::string> DefaultInputNames() {
  std::vector<std::string> names;
  for (int i = 0; i < TBlackHoleTest::kInputs; ++i) names.push_back("BlackHole" + std::to_string(i));
  return names;
}

// The relay addresses the setting chooses, in order (each Received line's
// sending address as the header gives it; checked by the caller).
std::vector<std::string> RelayAddresses(TEmailMsg& msg, std::int32_t ipNumber) {
  std::vector<std::string> addresses;
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailHeader* header = msg.GetHeader();
  std::string address;
  if (ipNumber == TBlackHoleTest::kEveryRelay) {
    const int count = header->ReceivedCount();
    for (int n = 1; n <= count; ++n) {
      address.clear();
      if (header->GetReceivedIP(n, address)) addresses.push_back(address);
    }
  } else if (ipNumber == TBlackHoleTest::kLastExternalRelay) {
    int index = 0;
    if (header->GetLastExternalReceivedIP(index, address)) addresses.push_back(address);
  } else if (header->GetReceivedIP(ipNumber, address)) {
    addresses.push_back(address);
  }
  return addresses;
}

std::string Cut(const std::string& text, std::size_t n) {
  return text.size() > n ? text.substr(0, n) : text;
}

}  // namespace

std::string BlockListBindingName(std::int32_t number) {
  if (number >= 831 && number <= 1231) return DnsrblTestName(number);
  return "Reserved " + std::to_string(number);
}

TBlackHoleTest::TBlackHoleTest()
    : TNNTest(kInputs, "BlackHoleTest NN", DefaultInputNames()), FOwnerTag(NewOwnerTag()) {
  Net().SetAutoInit(false);
  TTestStats stats;
  stats.Category(8).TruePositives = 1;
  TTest::SetStatsText(stats.SaveToText());
}

// ---- Settings

std::string TBlackHoleTest::ServerName() const {
  TCriticalSectionGuard guard(TestLock());
  return FServerName;
}
void TBlackHoleTest::SetServerName(const std::string& name) {
  TCriticalSectionGuard guard(TestLock());
  FServerName = name;
}
std::int32_t TBlackHoleTest::IPNumber() const {
  TCriticalSectionGuard guard(TestLock());
  return FIPNumber;
}
void TBlackHoleTest::SetIPNumber(std::int32_t number) {
  TCriticalSectionGuard guard(TestLock());
  FIPNumber = number;
}
TBlackHoleTest::TNeurons TBlackHoleTest::Neurons() const {
  TCriticalSectionGuard guard(TestLock());
  return FNeurons;
}
void TBlackHoleTest::SetNeurons(const TNeurons& neurons) {
  TCriticalSectionGuard guard(TestLock());
  FNeurons = neurons;
}
TDNSRBLServerRecArray TBlackHoleTest::Servers() const {
  TCriticalSectionGuard guard(TestLock());
  return FServers;
}
TTriteArray TBlackHoleTest::InputTrites() const {
  TCriticalSectionGuard guard(TestLock());
  return FInputs;
}

std::string TBlackHoleTest::NeuronsText() const {
  const TNeurons neurons = Neurons();
  unsigned char bytes[kStoredNeuronBytes];
  for (int i = 0; i < kInputs; ++i) {
    const auto value = static_cast<std::uint32_t>(neurons[static_cast<std::size_t>(i)]);
    for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<unsigned char>(value >> (8 * b));
  }
  return CompressBufferToText(bytes, sizeof bytes);
}

bool TBlackHoleTest::SetNeuronsText(const std::string& text) {
  if (text.empty()) {
    SetNeurons(TNeurons{});
    return true;
  }
  std::string bytes;
  try {
    bytes = ExpandTextCopy(text);
  } catch (const ECompressionError&) {
    return false;
  }
  bytes.resize(std::min(bytes.size(), kStoredNeuronBytes));
  TCriticalSectionGuard guard(TestLock());
  // Whole entries and a last partial one go over the start; the rest of
  // that entry keeps its bytes, as a copy of the bytes over the array would.
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    auto& entry = FNeurons[at / 4];
    auto value = static_cast<std::uint32_t>(entry);
    const int shift = static_cast<int>(at % 4) * 8;
    value = (value & ~(0xFFu << shift)) |
            std::uint32_t{static_cast<unsigned char>(bytes[at])} << shift;
    entry = static_cast<std::int32_t>(value);
  }
  return true;
}

void TBlackHoleTest::BindInputs() {
  std::vector<int> fresh;
  {
    TCriticalSectionGuard guard(TestLock());
    auto inServers = [&](std::int32_t number) {
      return std::any_of(FServers.begin(), FServers.end(), [&](const TDNSRBLServerRec& row) {
        return row.StandardTestNumber == number;
      });
    };
    for (std::int32_t& entry : FNeurons)
      if (entry != 0 && !inServers(entry)) entry = 0;
    for (const TDNSRBLServerRec& row : FServers) {
      const std::int32_t number = row.StandardTestNumber;
      if (number == 0 || std::find(FNeurons.begin(), FNeurons.end(), number) != FNeurons.end())
        continue;
      const auto free = std::find(FNeurons.begin(), FNeurons.end(), 0);
      if (free == FNeurons.end()) break;  // asked and reported, but no input
      *free = number;
      fresh.push_back(static_cast<int>(free - FNeurons.begin()));
    }
  }
  // The network's lock is not taken under the test's.
  for (int input : fresh) Net().SetInputWeight(input, 0, 0.0);
}

void TBlackHoleTest::RebuildInputNames() {
  const TNeurons neurons = Neurons();
  const int inputs = Net().GetInputCount();
  std::vector<std::string> names;
  for (int i = 0; i < inputs; ++i) {
    const std::int32_t bound = i < kInputs ? neurons[static_cast<std::size_t>(i)] : 0;
    names.push_back(bound != 0 ? Cut(BlockListBindingName(bound), 69)
                               : "BlackHole" + std::to_string(i));
  }
  Net().SetInputNames(std::move(names));
}

// ---- Storage

void TBlackHoleTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  const std::string section = SectionName();
  ini.WriteString(section, "ServerName", ServerName());
  ini.WriteInteger(section, "IPNumber", IPNumber());
  ini.WriteString(section, "Neurons", NeuronsText());
}

void TBlackHoleTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  const std::string section = SectionName();
  SetServerName(ini.ReadString(section, "ServerName", ServerName()));
  SetIPNumber(static_cast<std::int32_t>(ini.ReadInteger(section, "IPNumber", kLastExternalRelay)));
  if (!SetNeuronsText(ini.ReadString(section, "Neurons", "")))
    Log(Name(), "The stored block-list bindings could not be read; they stay as they were", 5,
        true);
  RebuildInputNames();
}

// ---- Judging

std::string TBlackHoleTest::Validate() {
  if (Name().empty()) return kTestHasNoName;
  const std::string serverName = ServerName();
  const TDnsrblTable table = GlobalDnsrblServers();
  TDNSRBLServerRecArray servers;
  std::string reason;
  if (serverName != kAnyEnabled) {
    reason = "Server \"" + serverName + "\" doesn't exist";
    for (const TDNSRBLServerRec& row : *table)
      if (row.Name == serverName) {
        servers.push_back(row);
        reason.clear();
        break;
      }
  } else {
    for (const TDNSRBLServerRec& row : *table)
      if (row.Enabled) servers.push_back(row);
    if (servers.empty()) reason = "Found no enabled servers to check.";
  }
  TCriticalSectionGuard guard(TestLock());
  FServers = std::move(servers);
  return reason;
}

std::string TBlackHoleTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  const std::int32_t n = IPNumber();
  const std::string server = ServerName();
  std::string text;
  if (n == kLastExternalRelay)
    text = "The server that passed the message to your server is listed by " + server + ".";
  else if (n == kEveryRelay)
    text = "Any server this email passed through is listed by " + server + ".";
  else if (n < 0)
    text = "The server " + std::to_string(Magnitude64(n)) +
           " hop(s) before we received it is listed by " + server + ".";
  else
    text = "The server " + std::to_string(n) + " hop(s) from the email's origin is listed by " +
           server + ".";
  return text + "\r\nNote: This test will return False for local (127.*) IP addresses.";
}

void TBlackHoleTest::Preprocess(TEmailMsg& msg) {
  try {
    if (!NetworkTestsOn() || !Validate().empty()) return;
    BindInputs();
    const TDNSRBLServerRecArray servers = Servers();
    TAsynchDNSRBLLookup* lookup = DnsrblLookupOf(msg);
    if (lookup == nullptr) return;
    for (const std::string& address : RelayAddresses(msg, IPNumber())) {
      if (!IsIPAddress(address) || IsLocalHostAddress(address)) continue;
      for (const TDNSRBLServerRec& row : servers) lookup->AddQueryForIP(address, row, FOwnerTag);
    }
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    Log(Name(), std::string("Starting the block-list questions failed: ") + e.what(), 9, true);
  }
}

bool TBlackHoleTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  {
    TCriticalSectionGuard guard(TestLock());
    FInputs.clear();
  }
  if (!NetworkTestsOn()) {
    AddExplanation("DNS database test was not performed: network tests are switched off", 9);
    return false;
  }
  const std::int32_t ipNumber = IPNumber();
  const TNeurons neurons = Neurons();
  TSimpleHtml lines;
  if (ipNumber != kEveryRelay && ipNumber != kLastExternalRelay) {
    const std::vector<std::string> found = RelayAddresses(msg, ipNumber);
    if (found.empty() || !IsIPAddress(found.front()))
      lines.AddLine("IP number " + std::to_string(ipNumber) + " was not found in this email", 9,
                    kHtmlKindAll, true);
  }
  TAsynchDNSRBLLookup* lookup = DnsrblLookupOf(msg);
  auto abortClose = [&] {
    RecordStandardTest(msg, false);
    CacheResult(msg, false);
    return false;
  };
  if (Aborted(abort)) return abortClose();
  if (lookup != nullptr) lookup->Perform(kWaitMs, abort, FOwnerTag);
  if (Aborted(abort)) return abortClose();

  bool result = false;
  int listings = 0;
  // Per test number: listed by any relay. A listing found once stays.
  std::map<std::int32_t, bool> numbers;
  std::map<int, bool> inputs;
  std::map<int, std::string> inputNames;
  bool first = true;
  bool any = false;
  std::uint32_t previous = 0;
  const std::vector<TAsynchDNSRBLQuery> queries =
      lookup != nullptr ? lookup->Queries() : std::vector<TAsynchDNSRBLQuery>();
  for (const TAsynchDNSRBLQuery& q : queries) {
    if (q.Owner != FOwnerTag) continue;
    if (!any || q.Address != previous) {
      if (!first) lines.AddLine("</blockquote>", kResultLevel, kHtmlKindAll, true);
      lines.AddLine("Results for " + IPToStr(q.Address) + " <blockquote>", kResultLevel,
                    kHtmlKindAll, true);
      first = false;
    }
    any = true;
    previous = q.Address;
    const TDNSRBLServerRec& row = q.Server;
    switch (q.State) {
      case dns_NoError: {
        const bool listed = q.IsListed();
        const std::int32_t number = row.StandardTestNumber;
        if (number >= 831 && number <= 1231) numbers[number] = numbers[number] || listed;
        const auto bound = std::find(neurons.begin(), neurons.end(), number);
        if (number != 0 && bound != neurons.end()) {
          const int input = static_cast<int>(bound - neurons.begin());
          inputs[input] = inputs[input] || listed;
          inputNames[input] = Cut(row.Name, 12);
        }
        if (listed) {
          lines.AddLine("<b>Passed</b> - " + row.Name + " returned " + IPToStr(q.Answer),
                        kResultLevel, kHtmlKindAll, true);
          result = true;
          ++listings;
        } else {
          lines.AddLine("Failed - " + row.Name + " returned " + IPToStr(q.Answer), kResultLevel,
                        kHtmlKindAll, true);
        }
        break;
      }
      case dns_BadResultReturned:
        lines.AddLine("Failed - Recieved bad result from " + row.Domain, kResultLevel,
                      kHtmlKindAll, true);
        break;
      case dns_Timeout:
        lines.AddLine("Failed - Timed out accessing " + row.Domain, kResultLevel, kHtmlKindAll,
                      true);
        break;
      case dns_InternalError:
        lines.AddLine("Failed - Error encountered accessing " + row.Domain, kResultLevel,
                      kHtmlKindAll, true);
        break;
      case dns_NoContactServer:
        if (IsDeveloperMode())
          lines.AddLine("Failed - Could not contact server for " + row.Domain, kResultLevel,
                        kHtmlKindAll, true);
        break;
      case dns_NotPerformed:
        if (IsDeveloperMode())
          lines.AddLine("Failed - Not performed " + row.Domain, kResultLevel, kHtmlKindAll, true);
        break;
    }
  }
  if (any) lines.AddLine("</blockquote>", kResultLevel, kHtmlKindAll, true);

  msg.WithInfo([&](TEmailInfo& info) {
    const TTriteArray present = info.StandardTests();
    for (const auto& [number, listed] : numbers)
      if (listed || TriteGet(present, number) != kTriteYes)
        info.SetStandardTest(number, TriteFromBool(listed));
  });
  TTriteArray trites;
  for (const auto& [input, listed] : inputs) TriteSetBool(trites, input, listed, false);
  {
    TCriticalSectionGuard guard(TestLock());
    FInputs = trites;
  }
  if (!inputNames.empty()) {
    std::vector<std::string> names = Net().InputNames();
    for (const auto& [input, name] : inputNames) {
      while (static_cast<int>(names.size()) <= input)
        names.push_back("BlackHole" + std::to_string(names.size()));
      names[static_cast<std::size_t>(input)] = name;
    }
    Net().SetInputNames(std::move(names));
  }

  const std::string subject = msg.GetSubject();
  if (result) {
    lines.AddLine("email passed DNS database test: \"" + Name() + "\"", 9, kHtmlKindAll, true);
    lines.AddLine("It was found to have come from a server listed in " + std::to_string(listings) +
                      " databases (see full report for details).",
                  5, kHtmlKindAll, true);
    Log(Name(), "Msg " + subject + "was listed in " + std::to_string(listings) + " databases.",
        kEvaluationLogLevel, false);
  } else {
    lines.AddLine("email failed DNS database test: \"" + Name() + "\"", 5, kHtmlKindAll, true);
    lines.AddLine(
        "It was found not to have come from any server listed in requested database(s).", 9,
        kHtmlKindAll, true);
    Log(Name(),
        "Msg " + subject +
            "was found not to have come from any server listed in any enabled database.",
        kEvaluationLogLevel, false);
  }
  PublishExplanation(std::move(lines));
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  return result;
}

std::string TBlackHoleTest::GetResultCode(std::int32_t msgKey) {
  std::string code = TNNTest::GetResultCode(msgKey);
  if (code.empty()) return code;
  CommaTextSetValue("VA", TriteArrayToCompressedText(InputTrites()), code);
  return code;
}

TVectorFloat TBlackHoleTest::BuildNNInputs(const std::string& resultCode) {
  TVectorFloat vector(kInputs, 0.0);
  TTriteArray trites;
  try {
    trites = TriteArrayFromText(CommaTextValue(resultCode, "VA"));
  } catch (const ECompressionError&) {
    return vector;  // an unreadable stored code counts as undecided
  }
  for (int i = 0; i < kInputs; ++i)
    vector[static_cast<std::size_t>(i)] = TriteIsYes(TriteGet(trites, i)) ? 1.0 : 0.0;
  return vector;
}

bool TBlackHoleTest::ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) {
  TVectorFloat inputs = BuildNNInputs(resultCode);
  const double output = Net().EvaluateInputs(inputs, false);
  const TNeurons neurons = Neurons();
  TStringList rows;
  for (int i = 0; i < kInputs; ++i) {
    const std::int32_t bound = neurons[static_cast<std::size_t>(i)];
    const double value = inputs[static_cast<std::size_t>(i)];
    const std::string label = bound != 0 ? Cut(BlockListBindingName(bound), 69)
                                         : "BlackHole" + std::to_string(i);
    if (value == 0 && (bound == 0 || label == kUnknownDnsDb)) continue;
    const double weight = Net().AverageInputWeight(i, 0);
    rows.Add(value != 0 ? NetworkReportRow(label, value, weight)
                        : label + " ~ 00 ~ " + ShortestFloatText(weight));
  }
  AddNetworkReport(html, "<font face=\"Courier New\" size=\"-1\">", Net(), "TBlackHoleTest NN",
                   output, rows);
  return true;
}

void TBlackHoleTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
