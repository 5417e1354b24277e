// TDccTest ("Distributed Checksum Clearinghouse"): how often has a DCC
// server seen the checksums of this message? For each of seven checksum
// kinds the user sets a comparison of the returned count with a value; the
// kinds are joined with AND or OR, or left out.
//
// The query goes out while the message is prepared (Preprocess) and is
// collected when it is judged (Evaluate, waiting at most the server's query
// time-out from its sending). A usable answer writes the DCC metrics header
// into the message, records the standard tests 706 to 724 about the fuzzy
// counts, and feeds the body and fuzzy counts to the 47-input network.
// Failures (no library, no server, no checksums, no answer, a corrupt
// answer) fail the test without recording or caching anything, so a later
// evaluation tries again.
//
// The server's brand and error texts are the peer's bytes: escaped in
// explanations, filtered in the header name.
//
// Threads: the settings and the last answer's counts live under the test's
// lock; Preprocess and Evaluate run on the processing thread and use copies.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "classify/nn_test.h"
#include "message/dcc_checksums.h"

namespace halvorn {

class TDccTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TDccTest";
  static constexpr int kInputs = 47;
  static constexpr int kKinds = 7;
  // Operator: how a kind joins the result.
  static constexpr std::int32_t kOr = 0;
  static constexpr std::int32_t kAnd = 1;
  static constexpr std::int32_t kIgnored = 2;
  // ValueOperator: the count is more than, less than, exactly the value.
  static constexpr std::int32_t kMoreThan = 0;
  static constexpr std::int32_t kLessThan = 1;
  static constexpr std::int32_t kExactly = 2;

  // One checksum kind's condition.
  struct TCondition {
    std::int32_t Operator = kOr;
    std::uint32_t Value = DCC_TGTS_TOO_MANY;
    std::int32_t ValueOperator = kExactly;
    bool operator==(const TCondition&) const = default;
  };
  // The kinds in their order: IP, From, MsgID, Received, Body, Fuz1, Fuz2.
  struct TKind {
    const char* KeyPrefix;
    int ChecksumType;
    const char* Subject;
    bool Sender;  // described as a sender ("IP" and "From")
  };
  static const std::array<TKind, kKinds>& Kinds();

  TDccTest();

  // ---- Settings (copies, under the lock)
  std::int32_t ServerId() const;
  void SetServerId(std::int32_t id);
  TCondition Condition(int kind) const;
  void SetCondition(int kind, const TCondition& condition);
  // The last usable answer.
  bool LastQueryOK() const;
  std::uint32_t BodyCount() const;
  std::uint32_t Fuz1Count() const;
  std::uint32_t Fuz2Count() const;

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Distributed Checksum Clearinghouse"; }
  // "ServerId", then each kind's "<prefix>Operator", "<prefix>Value"
  // (unsigned) and "<prefix>ValueOperator".
  void SaveToIni(TQuorIniFile& ini) override;
  // The same keys, each with the current value as its default.
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override;
  // Sends the message's query to the chosen server (and, choosing the best
  // server, to a random one too). Nothing while network tests are off.
  // Errors are swallowed.
  void Preprocess(TEmailMsg& msg) override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // The base code and, when it is not empty and the last answer was
  // usable, "BC", "F1", "F2" (the counts) and "ML" ("1" or "0").
  std::string GetResultCode(std::int32_t msgKey) override;
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  void ResetStats() override;
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

  // The combined verdict of the conditions over an answered record (the
  // first kind not ignored gives its match, each later one joins by its
  // operator); false when every kind is ignored.
  static bool Judge(const std::array<TCondition, kKinds>& conditions, const TDccChecksums& record);

 private:
  // Under TestLock().
  std::int32_t FServerId = 0;
  std::array<TCondition, kKinds> FConditions{};
  bool FLastQueryOK = false;
  std::uint32_t FBodyCount = 0;
  std::uint32_t FFuz1Count = 0;
  std::uint32_t FFuz2Count = 0;
  bool FHasListHeaders = false;
};

}  // namespace halvorn
