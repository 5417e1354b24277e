#include "classify/info_tag_test.h"

#include <memory>

#include "foundation/regex/phrase_wildcards.h"
#include "lists/phrases.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kPassedLevel = 9;
constexpr int kPassedDetailLevel = 6;
constexpr int kFailedLevel = 5;

}  // namespace

std::string TQuorInfoTest::Describe() {
  return DescribeValue("Quorvantis tag \"" + Tag() + "\"");
}

bool TQuorInfoTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer)) return answer;
  const TSettings s = Settings();
  std::string read;
  std::string piece;
  bool byList = false;
  auto judge = [&] {
    read = msg.GetProperty(s.Tag);
    const std::shared_ptr<TPhrases> list = FindGlobalPhraseList(s.Value);
    byList = list != nullptr;
    if (!byList) return WildcardFind(read, s.Value, false);
    list->PurgeExpired();
    return list->FindMatch(read, piece, false) >= 0;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    const std::string start =
        "The substring: \"" + piece + "\" of the read value: \"" + read + "\" ";
    const std::string end = " for the Quorvantis tag \"" + s.Tag + "\".";
    std::string detail;
    if (result && byList) {
      detail = start + "matched search value \"\" found in the list \"" + s.Value + "\"" + end;
    } else if (result) {
      detail = start + "matched the search value \"" + s.Value + "\"" + end;
    } else if (byList) {
      detail = start + "did not match any search values in the list \"" + s.Value + "\"" + end;
    } else {
      detail = start + "did not match the search value \"" + s.Value + "\"" + end;
    }
    AddExplanation(std::string("email ") + (result ? "passed" : "failed") +
                       " Quorvantis info test: \"" + s.Name + "\".",
                   result ? kPassedLevel : kFailedLevel);
    AddExplanation(detail, result ? kPassedDetailLevel : kFailedLevel);
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
