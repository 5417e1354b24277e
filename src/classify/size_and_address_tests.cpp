#include "classify/size_and_address_tests.h"

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 9;

}  // namespace

std::string SizeText(std::int64_t size, bool approximate) {
  std::string unit;
  const std::int64_t number = SizeToText(approximate, size, unit);
  return std::to_string(number) + " " + unit + "bytes";
}

// ---------------------------------------------------------------------------
// TMsgSizeTest

std::int32_t TMsgSizeTest::MaxBytes() const {
  TCriticalSectionGuard guard(TestLock());
  return FMaxBytes;
}

void TMsgSizeTest::SetMaxBytes(std::int32_t maxBytes) {
  TCriticalSectionGuard guard(TestLock());
  FMaxBytes = maxBytes;
}

void TMsgSizeTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  ini.WriteInteger(SectionName(), "MaxBytes", MaxBytes());
}

void TMsgSizeTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  SetMaxBytes(static_cast<std::int32_t>(ini.ReadInteger(SectionName(), "MaxBytes", MaxBytes())));
}

void TMsgSizeTest::PhraseListRenamed(const std::string&, const std::string&) {}

std::string TMsgSizeTest::Validate() {
  if (Name().empty()) return kTestHasNoName;
  if (MaxBytes() < 1) return "Maximun size must be greater than zero.";
  return {};
}

std::string TMsgSizeTest::Describe() {
  return "The total email size is greater than " + SizeText(MaxBytes(), false) + ".";
}

bool TMsgSizeTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const std::string name = Name();
  const std::int32_t maxBytes = MaxBytes();
  std::int32_t size = 0;
  auto judge = [&] {
    size = msg.GetSize();
    return maxBytes < size;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    AddExplanation(result ? "email passed Message Size Check \"" + name + "\"."
                          : "email failed Message Size Code Check \"" + name + "\"",
                   kHeadlineLevel);
    LogEvaluation(msg,
                  result ? "passed Message Size Code Check" : "failed Message Size Code Check");
    AddExplanation(
        "email size is " + SizeText(size, false) + " (aprox. " + SizeText(size, true) + ")", -1);
  };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TMyAddrTest

void TMyAddrTest::PhraseListRenamed(const std::string&, const std::string&) {}

std::string TMyAddrTest::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

std::string TMyAddrTest::Describe() {
  return "The incoming email has my address in either the To or the CC tags.";
}

bool TMyAddrTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer)) return answer;
  const std::string name = Name();
  const std::string passed = "email passed Contains My Address Check \"" + name + "\"";
  auto judge = [&] {
    std::string address;
    if (!msg.GetRecipientAddress(address)) {
      AddExplanation(passed + " by default, as we couldn't find what mailbox the email came from.",
                     kHeadlineLevel);
      LogEvaluation(msg, "passed Contains My Address Check.");
      return true;
    }
    for (const char* field : {"To", "CC"}) {
      std::string value;
      bool present = false;
      {
        TCriticalSectionGuard guard(msg.MessageLock());
        if (TEmailHeader* header = msg.GetHeader()) present = header->GetValue(field, value);
      }
      if (present && PosCI(address, value) > 0) {
        AddExplanation(passed + ".\"" + address + "\" found in " + field + ": Tag.",
                       kHeadlineLevel);
        return true;
      }
    }
    AddExplanation("email failed Contains My Address Check \"" + name + "\".", kHeadlineLevel);
    LogEvaluation(msg, "failed Contains My Address Check.");
    return false;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
