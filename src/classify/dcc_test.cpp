#include "classify/dcc_test.h"

#include <algorithm>
#include <cstdint>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/abandonment.h"
#include "lists/dcc/dcc_server_list.h"
#include "lists/network_tests.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr std::uint32_t kSpecialCounts[] = {DCC_TGTS_TOO_MANY, DCC_TGTS_OK, DCC_TGTS_OK2,
                                            DCC_TGTS_DEL, DCC_TGTS_INVALID};
constexpr const char* kSpecialNames[] = {"MANY", "OK", "OK2", "DEL", "INVALID"};

std::vector<std::string> InputNames() {
  std::vector<std::string> names;
  for (const char* group : {"Body", "Fuzz1", "Fuzz2"})
    for (const char* special : kSpecialNames) names.push_back(std::string(group) + " " + special);
  for (const char* group : {"BodyCnt", "Fuzz1Cnt", "Fuzz2Cnt", "FuzzBodyDif"})
    for (int i = 0; i < 8; ++i) names.push_back(group + std::to_string(i));
  return names;
}

std::string Escaped(std::string text) {
  HtmlEscape(text);
  return text;
}

// A count of a stored result code: a decimal number of 32 bits (signed or
// unsigned, as counts are written); 0 when missing or no number.
std::uint32_t CodeCount(const std::string& code, std::string_view name) {
  std::int64_t value = 0;
  if (!ParseTrimmedDecimal(CommaTextValue(code, name), INT32_MIN, UINT32_MAX, value)) return 0;
  return static_cast<std::uint32_t>(value);
}

// The index of a special count among the five; -1 for an ordinary count.
int SpecialIndex(std::uint32_t count) {
  for (int i = 0; i < 5; ++i)
    if (kSpecialCounts[i] == count) return i;
  return -1;
}

void SpreadCount(std::uint32_t count, bool listFlag, int specialStart, int numberStart,
                 TVectorFloat& inputs) {
  const int special = SpecialIndex(count);
  if (special >= 0)
    inputs[static_cast<std::size_t>(specialStart + special)] = 1.0;
  else if (count != 0 && !listFlag)
    EncodeNumberToInputs(numberStart, 0, 1024, 8, count, inputs);
}

std::string ConditionPhrase(const TDccTest::TKind& kind, const TDccTest::TCondition& c) {
  const bool sender = kind.Sender;
  const std::string noun = sender ? " a bulk sender" : " bulk";
  const std::string nonBulk = sender ? " a Non-bulk sender" : " Non-bulk";
  switch (c.Value) {
    case DCC_TGTS_TOO_MANY:
      return c.ValueOperator == TDccTest::kLessThan ? " has not been flagged as" + noun
                                                    : " has been flagged as" + noun;
    case DCC_TGTS_OK:
      return c.ValueOperator == TDccTest::kMoreThan ? " has not been flagged as" + nonBulk
                                                    : " has been flagged as" + nonBulk;
    case DCC_TGTS_OK2:
      if (c.ValueOperator == TDccTest::kMoreThan)
        return " has not been flagged or half flagged as" + nonBulk;
      if (c.ValueOperator == TDccTest::kLessThan) return " has been flagged as" + nonBulk;
      return " has been half flagged as" + nonBulk;
    default: {
      const std::string n = std::to_string(c.Value);
      const std::string comparison = c.ValueOperator == TDccTest::kMoreThan   ? "more than "
                                     : c.ValueOperator == TDccTest::kLessThan ? "less than "
                                                                              : "exactly ";
      return sender ? " has sent " + comparison + n + " email."
                    : " has seen " + comparison + n + " times.";
    }
  }
}

}  // namespace

const std::array<TDccTest::TKind, TDccTest::kKinds>& TDccTest::Kinds() {
  static const std::array<TKind, kKinds> kinds = {{
      {"IP", DCC_CK_IP, "The sender's IP (computer)", true},
      {"From", DCC_CK_FROM, "The sender of the email", true},
      {"MsgID", DCC_CK_MESSAGE_ID, "The message id", false},
      {"Received", DCC_CK_RECEIVED, "The email's last Received line", false},
      {"Body", DCC_CK_BODY, "The email body", false},
      {"Fuz1", DCC_CK_FUZ1, "The fuz1 filtered email body", false},
      {"Fuz2", DCC_CK_FUZ2, "The fuz2 filtered email body", false},
  }};
  return kinds;
}

TDccTest::TDccTest() : TNNTest(kInputs, "DccTest NN", InputNames()) {
  Net().SetAutoInit(false);
  TTestStats stats;
  stats.Category(4).TruePositives = 1;
  TTest::SetStatsText(stats.SaveToText());
}

// ---- Settings

std::int32_t TDccTest::ServerId() const {
  TCriticalSectionGuard guard(TestLock());
  return FServerId;
}
void TDccTest::SetServerId(std::int32_t id) {
  TCriticalSectionGuard guard(TestLock());
  FServerId = id;
}
TDccTest::TCondition TDccTest::Condition(int kind) const {
  TCriticalSectionGuard guard(TestLock());
  return FConditions.at(static_cast<std::size_t>(kind));
}
void TDccTest::SetCondition(int kind, const TCondition& condition) {
  TCriticalSectionGuard guard(TestLock());
  FConditions.at(static_cast<std::size_t>(kind)) = condition;
}
bool TDccTest::LastQueryOK() const {
  TCriticalSectionGuard guard(TestLock());
  return FLastQueryOK;
}
std::uint32_t TDccTest::BodyCount() const {
  TCriticalSectionGuard guard(TestLock());
  return FBodyCount;
}
std::uint32_t TDccTest::Fuz1Count() const {
  TCriticalSectionGuard guard(TestLock());
  return FFuz1Count;
}
std::uint32_t TDccTest::Fuz2Count() const {
  TCriticalSectionGuard guard(TestLock());
  return FFuz2Count;
}

void TDccTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  const std::string section = SectionName();
  std::array<TCondition, kKinds> conditions;
  std::int32_t serverId = 0;
  {
    TCriticalSectionGuard guard(TestLock());
    conditions = FConditions;
    serverId = FServerId;
  }
  ini.WriteInteger(section, "ServerId", serverId);
  for (int k = 0; k < kKinds; ++k) {
    const std::string prefix = Kinds()[static_cast<std::size_t>(k)].KeyPrefix;
    const TCondition& c = conditions[static_cast<std::size_t>(k)];
    ini.WriteInteger(section, prefix + "Operator", c.Operator);
    ini.WriteInteger(section, prefix + "Value", c.Value);
    ini.WriteInteger(section, prefix + "ValueOperator", c.ValueOperator);
  }
}

void TDccTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::array<TCondition, kKinds> conditions;
  std::int32_t serverId = 0;
  {
    TCriticalSectionGuard guard(TestLock());
    conditions = FConditions;
    serverId = FServerId;
  }
  serverId = static_cast<std::int32_t>(ini.ReadInteger(section, "ServerId", serverId));
  for (int k = 0; k < kKinds; ++k) {
    const std::string prefix = Kinds()[static_cast<std::size_t>(k)].KeyPrefix;
    TCondition& c = conditions[static_cast<std::size_t>(k)];
    c.Operator = static_cast<std::int32_t>(ini.ReadInteger(section, prefix + "Operator", c.Operator));
    std::int64_t value = 0;
    // Written unsigned: a value above 2^31 - 1 must read back too.
    if (ParseTrimmedDecimal(ini.ReadString(section, prefix + "Value", ""), INT32_MIN, UINT32_MAX,
                            value))
      c.Value = static_cast<std::uint32_t>(value);
    c.ValueOperator = static_cast<std::int32_t>(
        ini.ReadInteger(section, prefix + "ValueOperator", c.ValueOperator));
  }
  TCriticalSectionGuard guard(TestLock());
  FConditions = conditions;
  FServerId = serverId;
}

// ---- Judging

std::string TDccTest::Validate() {
  if (!LoadDccLibrary())
    return std::string("the file ") + kDccLibraryFileName +
           " could not be found on your computer.\r\n Click on test for more details.";
  std::array<TCondition, kKinds> conditions;
  std::int32_t serverId = 0;
  {
    TCriticalSectionGuard guard(TestLock());
    conditions = FConditions;
    serverId = FServerId;
  }
  if (std::all_of(conditions.begin(), conditions.end(),
                  [](const TCondition& c) { return c.Operator == kIgnored; }))
    return "all checksums are marked as being ignored";
  const std::shared_ptr<TDccServerList> servers = GlobalDccServerList();
  if (serverId != 0 && (!servers || servers->IndexOfServerId(serverId) < 0))
    return "Server ID " + std::to_string(serverId) + " could not be found";
  if (!servers || servers->Count() == 0) return "No Dcc servers have been added to the list";
  return {};
}

std::string TDccTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  std::array<TCondition, kKinds> conditions;
  std::int32_t serverId = 0;
  {
    TCriticalSectionGuard guard(TestLock());
    conditions = FConditions;
    serverId = FServerId;
  }
  std::string text;
  bool first = true;
  for (int k = 0; k < kKinds; ++k) {
    const TCondition& c = conditions[static_cast<std::size_t>(k)];
    if (c.Operator == kIgnored) continue;
    const TKind& kind = Kinds()[static_cast<std::size_t>(k)];
    if (!first) text += "\r\n";
    if (!first) text += c.Operator == kAnd ? "AND " : "OR  ";
    first = false;
    if (kind.ChecksumType == DCC_CK_BODY && c.Value == DCC_TGTS_OK && c.ValueOperator == kMoreThan)
      text += "The email email has not been flagged as Non-bulk";  // as the users know it
    else
      text += kind.Subject + ConditionPhrase(kind, c);
  }
  std::string lead;
  if (serverId != 0) {
    const std::shared_ptr<TDccServerList> servers = GlobalDccServerList();
    lead = "according to Dcc server brand \"" + (servers ? servers->GetServerBrand(serverId) : "") +
           "\":\r\n";
  } else {
    lead = "according to the fastest available Dcc server:\r\n";
  }
  return lead + text;
}

std::string TDccTest::GetNote() {
  return "\r\nNOTE: If the server cannot be contacted this test will fail.";
}

void TDccTest::Preprocess(TEmailMsg& msg) {
  try {
    if (!NetworkTestsOn()) return;
    const std::shared_ptr<TDccServerList> servers = GlobalDccServerList();
    if (!servers || servers->Count() == 0) return;
    TDccChecksums record;
    if (!msg.GetDccChecksums(record)) return;
    const std::int32_t serverId = ServerId();
    TDccServerRef server;
    if (serverId != 0) {
      server = servers->Items(servers->IndexOfServerId(serverId));
      if (!server) return;
    } else {
      server = servers->GetBestServer(record);
      if (!server) return;
      // A second opinion for the next choice: a random server learns the
      // record's counts too.
      if (TDccServerRef random = servers->RandomServer()) {
        random->PresendQuery(record);
        random->CheckForInput();
      }
    }
    server->PresendQuery(record);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    Log(Name(), std::string("Sending the DCC query early failed: ") + e.what(), 9, true);
  }
}

bool TDccTest::Judge(const std::array<TCondition, kKinds>& conditions,
                     const TDccChecksums& record) {
  bool result = false;
  bool first = true;
  for (int k = 0; k < kKinds; ++k) {
    const TCondition& c = conditions[static_cast<std::size_t>(k)];
    if (c.Operator == kIgnored) continue;
    const std::uint32_t count =
        GetDccTargetCount(Kinds()[static_cast<std::size_t>(k)].ChecksumType, record);
    const bool match = CompareDccTargetCounts(count, c.Value) == c.ValueOperator;
    if (first)
      result = match;
    else if (c.Operator == kAnd)
      result = result && match;
    else
      result = result || match;
    first = false;
  }
  return result;
}

bool TDccTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  const std::string failed = "email failed DCC test: \"" + name + "\".";
  if (!NetworkTestsOn()) {
    AddExplanation("DCC test was not performed: \"" + name + "\".", 9);
    AddExplanation("Network tests are switched off", 6);
    return false;
  }
  const std::string reason = Validate();
  if (!reason.empty()) {
    AddExplanation("DCC test was not performed: \"" + name + "\".", 9);
    AddExplanation("Test was invalid because " + reason, 6);
    return false;
  }
  TDccChecksums record;
  if (!msg.GetDccChecksums(record)) {
    AddExplanation(failed, 9);
    AddExplanation("Failed to get checksums for email.", 6);
    return false;
  }
  const std::shared_ptr<TDccServerList> servers = GlobalDccServerList();
  const std::int32_t serverId = ServerId();
  TDccServerRef server;
  if (serverId != 0) {
    server = servers ? servers->Items(servers->IndexOfServerId(serverId)) : nullptr;
    if (!server) {
      AddExplanation(failed, 9);
      return false;
    }
  } else {
    server = servers ? servers->GetBestServer(record) : nullptr;
    if (!server) {
      AddExplanation(failed, 9);
      AddExplanation("Failed to find a DCC server.", 6);
      return false;
    }
  }
  if (Aborted(abort)) return false;
  const std::string error = server->QueryServer(record);
  if (Aborted(abort)) return false;
  const std::string brand = server->Brand();
  auto fail = [&](const std::string& text) {
    {
      TCriticalSectionGuard guard(TestLock());
      FLastQueryOK = false;
    }
    Log(name, text, 9, true);
    AddExplanation(failed, 9);
    AddExplanation(Escaped(text), 6);
    return false;
  };
  if (!error.empty()) return fail("Dcc Query on " + brand + " failed with " + error);
  const std::uint32_t envFrom = GetDccTargetCount(DCC_CK_ENV_FROM, record);
  if (envFrom != 0 && envFrom != DCC_TGTS_INVALID)
    return fail("Dcc Query on " + brand + " returned corrupt result");

  std::string headerName, headerValue, third;
  server->BuildMetricsHeader(record, headerName, headerValue, third);
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    msg.GetHeader()->SetValue(headerName, headerValue);
  }
  const std::uint32_t body = GetDccTargetCount(DCC_CK_BODY, record);
  const std::uint32_t fuz1 = GetDccTargetCount(DCC_CK_FUZ1, record);
  const std::uint32_t fuz2 = GetDccTargetCount(DCC_CK_FUZ2, record);
  const bool listHeaders = msg.HasMailingListHeaders();
  std::array<TCondition, kKinds> conditions;
  {
    TCriticalSectionGuard guard(TestLock());
    FLastQueryOK = true;
    FBodyCount = body;
    FFuz1Count = fuz1;
    FFuz2Count = fuz2;
    FHasListHeaders = listHeaders;
    conditions = FConditions;
  }
  RecordStandardTestAt(msg, TESTNUM_DCC_MANY1, fuz1 == DCC_TGTS_TOO_MANY);
  RecordStandardTestAt(msg, TESTNUM_DCC_MANY2, fuz2 == DCC_TGTS_TOO_MANY);
  RecordStandardTestAt(msg, TESTNUM_DCC_WHITE1, fuz1 == DCC_TGTS_OK || fuz1 == DCC_TGTS_OK2);
  RecordStandardTestAt(msg, TESTNUM_DCC_WHITE2, fuz2 == DCC_TGTS_OK || fuz2 == DCC_TGTS_OK2);
  std::uint32_t g = 0;
  if (!IsSpecialDccTargetCount(fuz1)) g = fuz1;
  if (!IsSpecialDccTargetCount(fuz2)) g = std::max(g, fuz2);
  for (int k = 0; k <= 14; ++k)
    RecordStandardTestAt(msg, TESTNUM_DCC_1 + k, g >= (std::uint32_t{1} << k));

  const bool result = Judge(conditions, record);
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  TSimpleHtml lines;
  lines.AddLine(std::string(result ? "email passed" : "email failed") + " DCC test: \"" + name +
                    "\".",
                9, kHtmlKindAll, true);
  lines.AddLine("Queried server \"" + Escaped(brand) + "\".", 10, kHtmlKindAll, true);
  for (const TDccSlot& slot : record.Slots) {
    if (slot.Type == DCC_CK_INVALID) continue;
    lines.AddLine("Checksum: " + DccChecksumTypeName(slot.Type) + " [" +
                      UpperCase1252(DigestToHex(slot.Sum)) + "] Returned " +
                      DccTargetCountText(slot.TargetCount),
                  10, kHtmlKindAll, true);
  }
  PublishExplanation(std::move(lines));
  return result;
}

std::string TDccTest::GetResultCode(std::int32_t msgKey) {
  std::string code = TNNTest::GetResultCode(msgKey);
  if (code.empty()) return code;
  bool ok = false;
  std::uint32_t body = 0, fuz1 = 0, fuz2 = 0;
  bool list = false;
  {
    TCriticalSectionGuard guard(TestLock());
    ok = FLastQueryOK;
    body = FBodyCount;
    fuz1 = FFuz1Count;
    fuz2 = FFuz2Count;
    list = FHasListHeaders;
  }
  if (!ok) return code;
  CommaTextSetValue("BC", std::to_string(body), code);
  CommaTextSetValue("F1", std::to_string(fuz1), code);
  CommaTextSetValue("F2", std::to_string(fuz2), code);
  CommaTextSetValue("ML", list ? "1" : "0", code);
  return code;
}

TVectorFloat TDccTest::BuildNNInputs(const std::string& resultCode) {
  TVectorFloat inputs(kInputs, 0.0);
  const std::uint32_t b = CodeCount(resultCode, "BC");
  const std::uint32_t f1 = CodeCount(resultCode, "F1");
  const std::uint32_t f2 = CodeCount(resultCode, "F2");
  const bool list = CommaTextValue(resultCode, "ML") == "1";
  SpreadCount(b, list, 0, 15, inputs);
  SpreadCount(f1, list, 5, 23, inputs);
  SpreadCount(f2, list, 10, 31, inputs);
  std::uint32_t d = 0;
  if (b != 0 && f1 != 0) {
    if (SpecialIndex(f2) < 0)
      d = std::max(f2, f1) - b;
    else if (SpecialIndex(f1) < 0)
      d = f1 - b;
  }
  if (static_cast<std::int32_t>(d) > 0) EncodeNumberToInputs(39, 0, 1024, 8, d, inputs);
  return inputs;
}

bool TDccTest::ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) {
  TVectorFloat inputs = BuildNNInputs(resultCode);
  const double output = Net().EvaluateInputs(inputs, false);
  const std::vector<std::string> names = Net().InputNames();
  TStringList rows;
  for (int i = 0; i < kInputs; ++i) {
    const std::string label =
        i < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(i)] : std::to_string(i);
    rows.Add(NetworkReportRow(label, inputs[static_cast<std::size_t>(i)],
                              Net().AverageInputWeight(i, 0)));
  }
  AddNetworkReport(html, "<font face=\"Courier New\">", Net(), "TDccTest NN", output, rows);
  return true;
}

void TDccTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
