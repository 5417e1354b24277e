// TQuorInfoTest ("Quorvantis Info Tag"): compares one of the message's own
// properties (the name=value list of the "X-SMTP: " line of its file, for
// example "QuorCategory") with a search text or a phrase list, in the manner
// of the header value test (value_tests.h), with two differences: a list's
// entries are looked for anywhere in the value (a wildcard entry "8*" finds
// "18"), while a search text must match the whole value; and no log record
// is written. It records its answer at StandardTestNum and caches it, also
// when judging raises (then false, and the error goes on).
//
// Threads: as the header value test's.
#pragma once

#include <string>

#include "classify/value_tests.h"

namespace halvorn {

class TQuorInfoTest : public TTagAndValueTest {
 public:
  static constexpr const char* kClassName = "TQuorInfoTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Quorvantis Info Tag"; }
  std::string Describe() override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
};

}  // namespace halvorn
