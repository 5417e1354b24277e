#include "classify/valid_ret_addr_test.h"

#include <utility>

#include "classify/test_numbers.h"
#include "foundation/app/developer_mode.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "lists/network_tests.h"
#include "lists/phrases_list.h"
#include "message/email_header.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

const char* const kDescribeTexts[kAddrCheckLevels] = {
    " if found in the cache",
    "has a valid format.",
    "has a valid format, and it has a registered mail server (MX record exists).",
    "has a valid format, and the mail server is valid (MX record resolves).",
    "has a valid format, and the mail server is accessable.",
    "has a valid format, and the mail server responds.",
    "has a valid format, and the mail server will talk to us.",
    "has a valid format, and the mail server will accept mail.",
    ("has a valid format, and the mail server will accept mail for the person in the return "
     "address."),
    "has a valid format, and the mail server will accept mail body.",
};

// "RetAdr Cache/_Valid" ... "RetAdr Data/_Timeout", input i for the pair
// whose RetAddrInputIndex is i.
std::vector<std::string> InputNames() {
  std::vector<std::string> names;
  for (int level = 0; level < kAddrCheckLevels; ++level)
    for (int result = 0; result < kAddrResults; ++result)
      names.push_back(std::string("RetAdr ") + (AddrCheckLevelName(level) + 4) + "/" +
                      (AddrResultName(result) + 3));
  return names;
}

// The record of a check that never ran.
TValidEmailAddrRec EmptyRecord() {
  return {};
}

}  // namespace

TValidRetAddrTest::TValidRetAddrTest() : TNNTest(kInputs, "TValidRetAddrTest NN", InputNames()) {
  Net().SetAutoInit(false);
}

TEAddrCheckLevel TValidRetAddrTest::TestLevel() const {
  TCriticalSectionGuard guard(TestLock());
  return FTestLevel;
}

void TValidRetAddrTest::SetTestLevel(TEAddrCheckLevel level) {
  TCriticalSectionGuard guard(TestLock());
  FTestLevel = level > acl_Data ? acl_Data : level;
}

TValidEmailAddrRec TValidRetAddrTest::CheckRecord() const {
  TCriticalSectionGuard guard(TestLock());
  return FRecord;
}

bool TValidRetAddrTest::ReturnAddress(TEmailMsg& msg, std::string& address) {
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return false;
  return header->GetReplyToAddress(address) || header->GetFromAddress(address) ||
         header->GetXSenderAddress(address) || header->GetSenderAddress(address) ||
         header->GetXReturnPathAddress(address);
}

void TValidRetAddrTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  ini.WriteInteger(SectionName(), "TestLevel", TestLevel());
}

void TValidRetAddrTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  const std::int64_t stored = ini.ReadInteger(SectionName(), "TestLevel", TestLevel());
  // A stored -1 is 255 in the byte it was kept in, so the deepest level.
  SetTestLevel(static_cast<TEAddrCheckLevel>(static_cast<std::uint8_t>(stored & 0xFF)));
}

std::string TValidRetAddrTest::Validate() {
  return Name().empty() ? "the Test has no name" : "";
}

std::string TValidRetAddrTest::Describe() {
  return std::string("The return address of the incoming email ") + kDescribeTexts[TestLevel()];
}

void TValidRetAddrTest::Preprocess(TEmailMsg& msg) {
  TNNTest::Preprocess(msg);
  if (!Validate().empty() || !NetworkTestsOn()) return;
  try {
    if (ThreadIsRunning(msg.GetAddressCheckThread())) return;
    std::string address;
    if (!ReturnAddress(msg, address)) return;
    const std::uint32_t external = ExternalIP.load();
    if (ExternalHostName().empty() && external != 0) {
      std::string name;
      DnsReverseLookupFirst(IPToStr(external), name, nullptr, 10);
      if (!name.empty()) SetExternalHostName(name);
    }
    TValidEmailAddrThread2* thread = StartAddressCheckThread(address, TestLevel());
    msg.SetAddressCheckThread(thread->Handle());
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    // The message simply has no check thread; Evaluate checks it itself.
    Log(Name(), std::string("Preparing the return-address check failed: ") + e.what(), 5, true);
  }
}

TValidEmailAddrRec TValidRetAddrTest::ObtainRecord(TEmailMsg& msg, const std::string& address,
                                                   TEAddrCheckLevel level,
                                                   const std::atomic<bool>* abort) {
  const int waitMs = AddrCheckTimes().WaitMs;
  const TThreadHandle handle = msg.GetAddressCheckThread();
  TAddrCheckStateRef state;
  if (handle) {
    TCriticalSectionGuard guard(ThreadListLock());
    TQuorThread* thread = nullptr;
    if (FindThreadByHandle(handle, thread))
      if (auto* check = dynamic_cast<TValidEmailAddrThread2*>(thread)) state = check->State();
  }
  if (state) {
    const bool finished = WaitForAddressCheck(*state, waitMs);
    TValidEmailAddrRec rec = state->Snapshot();
    if (finished) {
      FreeThreadByHandle(handle);
      msg.SetAddressCheckThread({});
      return rec;
    }
    // Not done in time: the thread frees itself when it ends; when it ended
    // meanwhile the setter came too late and it is freed here.
    bool ended = false;
    {
      TCriticalSectionGuard guard(ThreadListLock());
      TQuorThread* thread = nullptr;
      if (FindThreadByHandle(handle, thread)) {
        thread->SetFreeOnTerminate(true);
        ended = thread->HasFinished();
      }
    }
    if (ended) FreeThreadByHandle(handle);
    return rec;
  }
  // Never prepared (or preparing failed): the same bound as a thread's.
  TAddrCheckState local;
  local.Reset(EmptyRecord());
  const std::int64_t start = SteadyMilliseconds();
  CheckEmailAddress(address, level, local, abort, waitMs);
  TValidEmailAddrRec rec = local.Snapshot();
  // Cut off by the bound, it counts as a thread that did not finish in time:
  // what failed was the wait, not the server.
  if (SteadyMilliseconds() - start >= waitMs) rec.Result = ear_Timeout;
  return rec;
}

bool TValidRetAddrTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  {
    TCriticalSectionGuard guard(TestLock());
    FRecord = EmptyRecord();
  }
  const std::string reason = Validate();
  if (!reason.empty()) {
    AddExplanation("Test is invalid because " + reason + ".", kInvalidTestLevel);
    return false;
  }
  const TEAddrCheckLevel level = TestLevel();
  TSimpleHtml lines;
  auto line = [&lines](const std::string& text) { lines.AddLine(text, 9, kHtmlKindAll, true); };
  TValidEmailAddrRec rec = EmptyRecord();
  auto judge = [&]() -> bool {
    std::string address;
    if (!ReturnAddress(msg, address)) {
      line("No return address, either \"Reply-To\" or \"From\" was found.");
      rec.Level = acl_Format;
      rec.Result = ear_PermError;
      return false;
    }
    if (!NetworkTestsOn()) {
      line("Network tests are switched off");
      return true;
    }
    rec = ObtainRecord(msg, address, level, abort);
    if (rec.CatchAll == kCatchAllAccepts) {
      line(
          "The return address of this email could not be tested for validity because it's "
          "server claims to accept mail for any email address.");
      line("This means that even if the address was invalid or made up the server wouldn't "
           "tell us.");
    } else if (rec.Level > acl_Format &&
               (rec.Result == ear_TransError || rec.Result == ear_Timeout)) {
      const std::string::size_type at = address.find('@');
      const std::string domain = at == std::string::npos ? address : address.substr(at + 1);
      const std::shared_ptr<TPhrasesList> lists = GlobalPhrasesList();
      const std::shared_ptr<TPhrases> approved =
          lists ? lists->GetBuiltInList(bplApprovedSenders) : nullptr;
      std::string piece;
      // The approved-senders list reduces what it looks up to an address,
      // so the domain goes in as "*@domain": a bare "*domain" would reduce
      // to "@" and never match.
      if (approved && approved->FindMatch("*@" + domain, piece, false) >= 0) {
        line("We failed to confirm the address but since you have approved " + piece +
             " we will assume this is a temporary failure");
        rec.Result = ear_TransError;
      }
    }
    const bool passed = (rec.Result == ear_Valid || rec.Result == ear_TransError) &&
                        rec.CatchAll != kCatchAllAccepts;
    if (rec.Result != ear_TransError)
      RecordStandardTestAt(msg, TESTNUM_INVALID_RETURN, rec.Result == ear_Valid);
    return passed;
  };
  auto close = [&](bool result) {
    const std::string subject = msg.GetSubject();
    line(result ? "email passed return address check." : "email failed return address check.");
    Log(Name(),
        "Msg " + subject + (result ? " passed" : " failed") + " Return Address Check", 5, false);
    if (!rec.Transcript.empty() && (rec.CatchAll != kCatchAllAccepts || IsDeveloperMode())) {
      TStringList transcript;
      transcript.SetText(rec.Transcript);
      transcript.Add(FormatDateTime("hh:nn:ss", Now()) + " - Completed");
      for (int i = 0; i < transcript.Count(); ++i) {
        std::string text = transcript[i];
        HtmlEscape(text);
        lines.AddLine(text, -1, kHtmlKindAll, true);
      }
    }
    {
      TCriticalSectionGuard guard(TestLock());
      FRecord = rec;
    }
    PublishExplanation(std::move(lines));
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
  };
  return JudgeThenClose(judge, close);
}

std::string TValidRetAddrTest::GetResultCode(std::int32_t msgKey) {
  std::string code = TNNTest::GetResultCode(msgKey);
  if (code.empty()) return code;
  const TValidEmailAddrRec rec = CheckRecord();
  CommaTextSetValue("LR", std::to_string(RetAddrInputIndex(rec.Level, rec.Result)), code);
  if (rec.CatchAll == kCatchAllAccepts) CommaTextSetValue("AA", "1", code);
  return code;
}

TVectorFloat TValidRetAddrTest::BuildNNInputs(const std::string& resultCode) {
  TVectorFloat inputs(kInputs, 0.0);
  std::int32_t lr = 0;
  if (!TryStrToInt(CommaTextValue(resultCode, "LR"), lr)) lr = 0;
  // A server that accepts any address, and a check that never ran
  // (acl_Cache, ear_TransError), teach the network nothing.
  const int neverRan = RetAddrInputIndex(acl_Cache, ear_TransError);
  if (CommaTextValue(resultCode, "AA") == "1" || lr == neverRan || lr < 0 || lr >= kInputs)
    return inputs;
  inputs[static_cast<std::size_t>(lr)] = 1.0;
  return inputs;
}

bool TValidRetAddrTest::ShowCategoryProbabilities(const std::string& resultCode,
                                                  TSimpleHtml& html) {
  const std::string font = "<font face=\"Courier New\">";
  if (CommaTextValue(resultCode, "AA") == "1") {
    html.AddLine(font, -1, kHtmlKindAll, true);
    html.AddLine("<pre>", -1, kHtmlKindAll, true);
    html.AddLine("Server will not reject mail for any address", -1, kHtmlKindAll, true);
    html.AddLine("</pre>", -1, kHtmlKindAll, true);
    html.AddLine("</font>", -1, kHtmlKindAll, true);
    return true;
  }
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
  AddNetworkReport(html, font, Net(), "Check Return Address NN", output, rows);
  return true;
}

void TValidRetAddrTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
