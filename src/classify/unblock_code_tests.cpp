#include "classify/unblock_code_tests.h"

#include <memory>

#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "message/email_msg.h"
#include "message/processing_options.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 9;
// "Key=" and eight letters and digits.
constexpr std::size_t kCodeLength = 12;

// The code from the first "key=" (any case) of the text; empty when none.
std::string CodeIn(const std::string& text) {
  const int position = FindTextCIFrom(text, "key=", 1);
  if (position == 0) return {};
  return text.substr(static_cast<std::size_t>(position) - 1, kCodeLength);
}

std::shared_ptr<const TProcessingOptions> Options(TEmailMsg& msg) {
  std::string user;
  msg.GetUserId(user);
  return GetGlobalProcessingOptions(user);
}

}  // namespace

std::string SubjectUnblockCode(TEmailMsg& msg) {
  std::string subject;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    if (TEmailHeader* header = msg.GetHeader()) header->GetSubject(subject);
  }
  return CodeIn(subject);
}

std::string TUnblockCodeTest::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

bool TContainsUnblockCodeTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const std::string name = Name();
  std::string code;
  auto judge = [&] {
    code = SubjectUnblockCode(msg);
    return Options(msg)->HoldsValidKey(code);
  };
  auto close = [&](bool result) {
    std::string headline;
    std::string detail;
    if (result) {
      headline = "email passed Contains Unblock Code Check \"" + name + "\".";
      detail = "email contains unblock code \"" + code + "\".";
    } else {
      headline = "email failed Contains Unblock Code Check \"" + name + "\"";
      detail = code.empty()
                   ? "No unblock code was found in this email."
                   : "The invalid/expired unblock code \"" + code + "\" was found in this email.";
    }
    CloseEvaluation(msg, result, headline, kHeadlineLevel, detail, -1);
  };
  return JudgeThenClose(judge, close);
}

bool TBouncedUnblockCodeTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const std::string name = Name();
  const std::string failed = "email failed Bounced Unblock Code Check \"" + name + "\"";
  std::string code;
  auto judge = [&] {
    const std::shared_ptr<const TProcessingOptions> options = Options(msg);
    code = SubjectUnblockCode(msg);
    if (options->HoldsValidKey(code)) {
      AddExplanation(failed, kHeadlineLevel);
      AddExplanation("email contains valid unblock code: \"" + code + "\"", -1);
      return false;
    }
    TCriticalSectionGuard guard(msg.MessageLock());
    TEmailMsgPartCollection& parts = msg.GetParts();
    for (int i = 0; i < parts.Count(); ++i) {
      if (Aborted(abort)) return false;
      TEmailMsgPart* part = parts.Items(i);
      TEmailHeader* header = part->Header();
      if (header != nullptr && header->IsAttachment() && !header->IsRfc822Attachment()) continue;
      TStringList lines;
      part->WriteTo(lines, true);
      const std::string found = CodeIn(lines.Text());
      if (found.empty()) continue;
      code = found;
      if (options->HoldsValidKey(code)) return true;
    }
    return false;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    if (result) {
      AddExplanation("email passed Bounced Unblock Code Check \"" + name + "\".", kHeadlineLevel);
      AddExplanation("email contains unblock code \"" + code + "\".", -1);
      LogEvaluation(msg, "contains unblock code \"" + code + "\".");
    } else {
      AddExplanation(failed, kHeadlineLevel);
      AddExplanation("No unblock code was found in this email.", -1);
      LogEvaluation(msg, "contains no unblock code \"" + code + "\".");
    }
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
