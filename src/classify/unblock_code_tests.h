// The tests that read back the unblock codes the bounce action hands out.
// A code is "Key=" and eight letters and digits; the action keeps each code
// it issued, with its day, in the "Keys" of the processing options. A code is
// valid while the options hold it (ignoring case) and it is not older than
// the held-mail time (TProcessingOptions::HoldsValidKey), however long ago
// the list was culled.
//
// TContainsUnblockCodeTest ("Contains Unblock Code") passes when the Subject
// carries a valid code: the sender sent the message again as asked.
// TBouncedUnblockCodeTest ("Bounced Unblock Code") passes when the Subject
// carries none but the text of a body part or of an attached message does:
// the message is a returned or quoted copy of the bounce itself. Other
// attachments (a base64 file holding a code, say) are not read.
//
// Both have no settings of their own, follow the whole protocol (closing
// steps also when judging raises) and read the options' shared snapshot,
// never a copy per message. Evaluate runs on the processing thread; the rest
// on any thread.
#pragma once

#include <string>

#include "classify/test_base.h"

namespace halvorn {

// The code the message's decoded Subject carries: its twelve characters from
// the first "key=" (any case) as written there, fewer at the end of the
// Subject; empty when it holds no "key=".
std::string SubjectUnblockCode(TEmailMsg& msg);

// What both tests share: the name is all that is checked.
class TUnblockCodeTest : public TTest {
 public:
  // "the Test has no name" when the name is empty, else empty.
  std::string Validate() override;
  std::string GetNote() override { return {}; }
};

class TContainsUnblockCodeTest : public TUnblockCodeTest {
 public:
  static constexpr const char* kClassName = "TContainsUnblockCodeTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Contains Unblock Code"; }
  std::string Describe() override { return "The message contains a valid unblock code."; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
};

class TBouncedUnblockCodeTest : public TUnblockCodeTest {
 public:
  static constexpr const char* kClassName = "TBouncedUnblockCodeTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Bounced Unblock Code"; }
  std::string Describe() override { return "The email contains a INVALID unblock code."; }
  // The first "key=" (any case) of each top-level part that is no attachment
  // or is an attached message, written out as it stands in the message, is
  // taken; the first valid one passes. A stop request between parts judges
  // false (and is cached).
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
};

}  // namespace halvorn
