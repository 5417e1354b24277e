// TValidRetAddrTest ("Check Return Address"): can the sender of a message be
// written back to? The message's return address (Reply-To, else From,
// X-Sender, Sender, X-ReturnPath) is checked by the address check
// (valid_email_addr.h) as deep as TestLevel asks. The message passes when
// the address was confirmed or failed only for a transient reason, unless
// its mail server accepts mail for any address (then nothing it says about
// an address can be believed).
//
// The check is slow, so Preprocess starts it on a worker while the message
// is prepared, and Evaluate waits for it at most AddrCheckTimes().WaitMs
// from its start, judging whatever it found by then. A message never
// prepared gets the same bound: the check then runs here, synchronously,
// with its budget and every wait cut to that time, so one unreachable mail
// server never holds the mail behind it.
//
// The outcome, one of 40 (level, result) pairs ("LR"), feeds a network of
// 40 inputs and one output; "AA" = "1" marks a server that accepts any
// address, whose outcome teaches nothing.
//
// While network tests are off (network_tests.h) Preprocess starts nothing
// and Evaluate records a check that never ran ("LR" 2) without any DNS or
// SMTP.
//
// Threads: Preprocess and Evaluate run on the processing thread; the check
// record and TestLevel live under the test's lock.
#pragma once

#include <cstdint>
#include <string>

#include "classify/nn_test.h"
#include "classify/valid_email_addr.h"

namespace halvorn {

class TValidRetAddrTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TValidRetAddrTest";
  static constexpr int kInputs = kAddrCheckLevels * kAddrResults;

  TValidRetAddrTest();

  // Kept between 0 and 9; acl_Format after creation.
  TEAddrCheckLevel TestLevel() const;
  void SetTestLevel(TEAddrCheckLevel level);
  // The check record of the message evaluated last (a copy).
  TValidEmailAddrRec CheckRecord() const;

  // The message's return address: the first of the five headers present,
  // as local part "@" domain; false when none is.
  static bool ReturnAddress(TEmailMsg& msg, std::string& address);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Check Return Address"; }
  // The inherited keys, then "TestLevel".
  void SaveToIni(TQuorIniFile& ini) override;
  // "TestLevel": its low eight bits, unsigned, above 9 taken as 9.
  void LoadFromIni(TQuorIniFile& ini) override;
  void PhraseListRenamed(const std::string&, const std::string&) override {}
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  // Starts the message's check thread. Errors are swallowed (the message
  // then has none).
  void Preprocess(TEmailMsg& msg) override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // The base code and, when it is not empty, "LR" and ("AA" = "1") when the
  // server accepts any address.
  std::string GetResultCode(std::int32_t msgKey) override;
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  void ResetStats() override;
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  // Step 6 of Evaluate: the record from the message's thread, or from a
  // bounded check run here.
  TValidEmailAddrRec ObtainRecord(TEmailMsg& msg, const std::string& address,
                                  TEAddrCheckLevel level, const std::atomic<bool>* abort);

  // Under TestLock().
  TEAddrCheckLevel FTestLevel = acl_Format;
  TValidEmailAddrRec FRecord;
};

}  // namespace halvorn
