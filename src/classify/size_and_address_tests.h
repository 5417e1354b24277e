// Two small tests on facts about a message rather than its wording.
//
// TMsgSizeTest ("Message Size Check") passes when the message is larger than
// MaxBytes bytes (its size as the POP3 server gives it, TEmailMsg::GetSize).
// A new test has no limit and is invalid until one is set.
//
// TMyAddrTest ("Contains My Address") passes when the address of the mailbox
// the message was fetched for stands in its To or CC field (ignoring case),
// and also when that mailbox is not known.
//
// Both follow the protocol with their closing steps also when judging raises.
// Threads: the limit lives under the test's lock; Evaluate runs on the
// processing thread, the rest on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "classify/test_base.h"

namespace halvorn {

// "N UNITbytes": a size in the largest unit that divides it exactly
// ("100 Kilobytes", "1234 bytes"); with `approximate`, first cut down to
// whole thousands, millions or thousand millions ("1 Kilobytes" for 1234).
std::string SizeText(std::int64_t size, bool approximate);

class TMsgSizeTest : public TTest {
 public:
  static constexpr const char* kClassName = "TMsgSizeTest";

  std::int32_t MaxBytes() const;
  void SetMaxBytes(std::int32_t maxBytes);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Message Size Check"; }
  // "MaxBytes" after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // "MaxBytes", with the current limit as its default.
  void LoadFromIni(TQuorIniFile& ini) override;
  // Nothing: the test names no list.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name"; else "Maximun size must be greater than zero."
  // for a limit below 1; else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  std::int32_t FMaxBytes = 0;
};

class TMyAddrTest : public TTest {
 public:
  static constexpr const char* kClassName = "TMyAddrTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Contains My Address"; }
  // Nothing: the test names no list.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name" when the name is empty, else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
};

}  // namespace halvorn
