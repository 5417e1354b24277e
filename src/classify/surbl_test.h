// TSURBLTest ("Spam URI Realtime Blocklists Test"): are the domains of the
// message's links on the URI block list? The list answers one combined zone;
// the last octet of an answer in 127.0.0.x is a set of bits naming the
// sub-lists that list the domain, and six settings choose which of them
// count.
//
// The links are reduced to registered domains and one question per domain
// is posted while the message is prepared (Preprocess, at most
// kMaxUriDomains questions; the rest count as lost); judging reads the
// answers that have come without waiting. Only the flagship test makes
// one, as a sub-test whose seven network inputs feed its own network.
//
// Threads: the settings and the list code live under the test's lock;
// Preprocess and Evaluate run on the processing thread.
#pragma once

#include <array>
#include <string>

#include "classify/nn_test.h"

namespace halvorn {

// The most link domains of one message that get a question.
inline constexpr int kMaxUriDomains = 100;

// The service's combined zone, its sub-lists' zone names (the network's
// input names) and its web address.
inline constexpr const char* kSurblZone = "multi.surbl.org";
inline constexpr const char* kSurblWebAddress = "http://www.surbl.org";

// The zone the questions go to: kSurblZone unless a test moved it. Safe from
// any thread.
std::string SurblZone();
// Moves the zone for a scope (tests point it at a local server). Not
// copyable.
class TScopedSurblZoneForTests {
 public:
  explicit TScopedSurblZoneForTests(const std::string& zone);
  ~TScopedSurblZoneForTests();
  TScopedSurblZoneForTests(const TScopedSurblZoneForTests&) = delete;
  TScopedSurblZoneForTests& operator=(const TScopedSurblZoneForTests&) = delete;

 private:
  std::string FOld;
};

class TSURBLTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TSURBLTest";
  static constexpr int kInputs = 7;

  // The sub-lists in the order of their answer bits 1 to 6.
  enum TSubList { slSpamCop, slWs, slPhishing, slOutBlaze, slAbuseButler, slJwSpamSpy, slCount };
  using TSettings = std::array<bool, slCount>;

  TSURBLTest();

  // Which sub-lists count (all after creation), indexed by TSubList.
  TSettings Settings() const;
  void SetSettings(const TSettings& settings);
  // The list code of the message judged last: the OR of the bits of its
  // 127.x answers, "0" when every domain was answered unlisted, else empty.
  std::string ListCode() const;

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Spam URI Realtime Blocklists Test"; }
  // "SpamCop", "Ws", "OutBlaze", "AbuseButler", "Phishing", "jwSpamSpy".
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override { return {}; }
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  // Collects the message's link domains and posts their questions, once
  // per message. Nothing while network tests are off.
  void Preprocess(TEmailMsg& msg) override;
  // While network tests are off: false, no list code, nothing cached.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // The base code with "CR" = the list code set in it (also when the base
  // code is empty; an empty list code adds nothing).
  std::string GetResultCode(std::int32_t msgKey) override;
  void ResetStats() override;
  // From "CR": input 6 when it is 0, else input i for bit i of its low byte
  // (i = 0 to 5); all 0 without a number.
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  TSettings FSettings{true, true, true, true, true, true};  // under TestLock()
  std::string FListCode;                                     // under TestLock()
};

}  // namespace halvorn
