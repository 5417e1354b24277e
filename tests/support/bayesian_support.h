// Helpers of the Bayesian tests: running the Python transcriptions of
// tests/data/bayesian_oracle.py, putting chosen counts into a dictionary,
// and scratch messages.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "message/email_msg.h"
#include "support/test_support.h"

namespace halvorn::test {

// Runs the Python body with the oracle module imported as `b` (and sys),
// the input on its standard input and the arguments as sys.argv[2:].
inline CommandResult RunBayesOracle(const std::string& body, const std::string& input = {},
                                    const std::vector<std::string>& arguments = {}) {
  return RunPythonModule("bayesian_oracle", "b", body, input, arguments);
}

// A message of the text that writes nothing (flagged deleted).
inline TEmailMsgRef TestMessage(const std::string& text) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(text);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

// Adds each hash as often as its count says.
inline void AddCounts(TBayesianDictionary& dictionary, const std::map<std::uint32_t, int>& counts) {
  std::int32_t old = 0;
  for (const auto& [hash, count] : counts)
    for (int i = 0; i < count; ++i) dictionary.AddFeature(hash, old);
}

// A feature list of the hashes (texts "f<hash>").
inline TStringList FeaturesOf(const std::vector<std::uint32_t>& hashes) {
  TStringList features;
  for (std::uint32_t hash : hashes) features.AddNumber("f" + std::to_string(hash), hash);
  return features;
}

}  // namespace halvorn::test
