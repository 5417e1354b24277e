// TBlackHoleTest ("DNS Database Lookup"): are the relays a message passed
// through listed by DNS block lists?
//
// The user picks one block list by name, or "Any enabled DNS database" for
// every enabled row of the block-list table, and which relay: the one that
// handed the message to the user's network, every relay, or one counted from
// either end of the Received lines. The questions go out while the message
// is prepared (Preprocess) and are collected when it is judged (Evaluate,
// waiting at most 1000 ms from each question's posting). The test passes
// when a list names one of the relays; once a row named a relay it stays
// "listed" for the message, whatever a later relay's answer.
//
// Each row asked feeds one input of the 50-input network: Neurons[i] holds
// the test number of the row bound to input i (0: free). Rows beyond 50
// bound ones are asked and reported but feed nothing.
//
// Threads: the settings, Servers and Neurons live under the test's lock;
// Preprocess and Evaluate (processing thread) work on copies, so the main
// thread may describe, edit, save and load the test meanwhile.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "classify/nn_test.h"
#include "foundation/text/trite_array.h"
#include "lists/dnsbl/dnsbl_servers.h"

namespace halvorn {

class TBlackHoleTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TBlackHoleTest";
  static constexpr int kInputs = 50;
  static constexpr const char* kAnyEnabled = "Any enabled DNS database";
  // IPNumber: the relay that handed the message to the user's network.
  static constexpr std::int32_t kLastExternalRelay = 2147483647;
  // IPNumber: every relay.
  static constexpr std::int32_t kEveryRelay = 0;
  static constexpr int kWaitMs = 1000;

  using TNeurons = std::array<std::int32_t, kInputs>;

  TBlackHoleTest();

  // ---- Settings (copies, under the lock)
  std::string ServerName() const;
  void SetServerName(const std::string& name);
  std::int32_t IPNumber() const;
  void SetIPNumber(std::int32_t number);
  TNeurons Neurons() const;
  void SetNeurons(const TNeurons& neurons);
  // The 50 bindings as 200 bytes (least significant byte first), packed
  // (CompressBufferToText): the stored form.
  std::string NeuronsText() const;
  // The stored form read back: an empty text frees every input; otherwise
  // the first 200 bytes of its expansion go over the start of the bindings
  // and the rest keeps its value. False, changing nothing, for a text that
  // does not expand.
  bool SetNeuronsText(const std::string& text);
  // The rows the last Validate chose.
  TDNSRBLServerRecArray Servers() const;
  // The input trites of the message judged last (entry i: input i).
  TTriteArray InputTrites() const;
  // The tag its block-list questions carry (unique in the process, never 0
  // or -1).
  std::int32_t OwnerTag() const { return FOwnerTag; }

  // Frees the inputs of rows that are no longer in Servers and binds the
  // new rows to free inputs, zeroing those inputs' weights.
  void BindInputs();
  // Names every network input: a bound one after its row's test number (the
  // first 69 characters), a free one "BlackHole" + its index.
  void RebuildInputNames();

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "DNS Database Lookup"; }
  // "ServerName", "IPNumber", "Neurons" after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // The three keys (IPNumber's default 2147483647), then the input names.
  void LoadFromIni(TQuorIniFile& ini) override;
  // Chooses Servers from the global table: the named row, or every enabled
  // row. "the Test has no name", "Server \"<name>\" doesn't exist", "Found
  // no enabled servers to check.".
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  // Queues the questions for the chosen relays (none for this machine's
  // addresses, none while network tests are off). Errors are swallowed.
  void Preprocess(TEmailMsg& msg) override;
  // While network tests are off: false, nothing recorded or cached.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // The base code and, when it is not empty, "VA" = the input trites in
  // their compressed text form.
  std::string GetResultCode(std::int32_t msgKey) override;
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  void ResetStats() override;
  // 1.0 for each input whose "VA" trite is yes, else 0.0.
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  const std::int32_t FOwnerTag;
  // Under TestLock().
  TNeurons FNeurons{};
  std::string FServerName;
  std::int32_t FIPNumber = kLastExternalRelay;
  TDNSRBLServerRecArray FServers;
  TTriteArray FInputs;
};

// The name an input bound to a test number shows: the row's name for 831 to
// 1231 (DnsrblTestName), else "Reserved " + the number.
std::string BlockListBindingName(std::int32_t number);

}  // namespace halvorn
