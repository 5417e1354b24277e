// Judges a message made of arbitrary bytes with the HTML check, the
// attachment check, the mailing-list and black/white tests, and runs the
// phishing heuristic on it. Properties: nothing raises; each result code
// holds the answer; the HTML check's code reads back to its six figures;
// the hoax score never falls and stays at most 100.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "classify/attach_name_check.h"
#include "classify/html_check.h"
#include "classify/list_and_mailbox_tests.h"
#include "classify/phishing_check.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "lists/mailing_lists.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::int64_t CodeNumber(const std::string& code, const char* name) {
  return StrToIntDef(CommaTextValue(code, name), -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    auto lists = std::make_shared<TMailingListList>();
    auto known = std::make_shared<TMailingList>();
    known->List_ID = "<talk.example.org>";
    known->SubjectLineSubstring = "[Talk]";
    known->SetSubscribed(kTriteYes);
    lists->Add(known);
    SetGlobalMailingListList(lists);
    return true;
  }();
  (void)ready;
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(std::string(reinterpret_cast<const char*>(data), size));
  msg->FSetFlaggedDeleted(true);  // never written

  THTMLCheck html;
  TAttachNameCheck attach;
  attach.SetAttachmentName("*.exe");
  TMailingListTest mailingList;
  TBlackWhiteTest blackWhite;
  TTest* tests[] = {&html, &attach, &mailingList, &blackWhite};
  for (TTest* test : tests) {
    test->SetName("T");
    const bool answer = test->Evaluate(*msg, nullptr);
    const std::string code = test->GetResultCode(msg->GetContentId());
    Check(CommaTextValue(code, "Pa") == (answer ? "y" : "n"));
  }
  const THTMLCheck::TFindings f = html.Findings();
  const std::string code = html.GetResultCode(msg->GetContentId());
  Check(CodeNumber(code, "ER") == f.ExternalRefsCount);
  Check(CodeNumber(code, "EI") == f.ExternalImageRefsCount);
  Check(CodeNumber(code, "EO") == f.ExternalObjects);
  Check(CodeNumber(code, "EF") == f.ExternalFrames);
  Check(CodeNumber(code, "SF") == f.ScriptsFound);
  Check(CodeNumber(code, "FH") == f.FoundHtml);
  const TVectorFloat inputs = html.BuildNNInputs(code);
  Check(inputs.size() == 6);
  Check(inputs[1] == (f.ExternalImageRefsCount > 0 ? 1.0 : 0.0));
  Check(inputs[5] == f.FoundHtml);
  for (const std::int32_t before : {0, 50, 100}) {
    std::int32_t hoax = before;
    CheckPhishing(*msg, hoax, "Global");
    Check(hoax >= before && hoax <= 100);
  }
  return 0;
}
