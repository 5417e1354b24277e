// THTMLCheck ("HTML Check"): a network-backed test on the HTML part of a
// message. It passes when the part holds active or remote content of a kind
// switched on: scripts, event handlers, a meta refresh, external images,
// styles and links, embedded objects and frames. Each finding adds danger
// points to the message, records standard-test answers, and adds lines to
// the explanation (and, for a refresh, a link tag or an event handler, to
// the message's GeneralInfo report section). Six per-message figures
// summarise the findings; they make the result code and the network's six
// inputs ("HTMLCheck NN", all weights 0 until it learns).
//
// The part is searched as one text of its tags (html_check_scans.h), made
// once per message; the searches run in time linear in it. An error while
// judging (a part that cannot be decoded) still runs the closing steps and
// then reaches the caller.
//
// Threads: the switches and the six figures live under the test's lock;
// readers get copies (Findings). Evaluate runs on the processing thread,
// the report on whichever thread asks.
#pragma once

#include <cstdint>
#include <string>

#include "classify/nn_test.h"

namespace halvorn {

class THTMLCheck : public TNNTest {
 public:
  static constexpr const char* kClassName = "THTMLCheck";

  // The switches, in the order of their keys and of the description.
  enum TSwitch : int {
    swJavaScript,
    swVBS,
    swPerlScript,
    swWmlScript,
    swExternalRefs,
    swImbeddedObjects,
    swIFrames,
    kSwitchCount
  };
  // The key of a switch in the rules file ("CheckJavaScript").
  static const char* SwitchKey(TSwitch which);

  // What the last message judged showed.
  struct TFindings {
    std::int32_t ExternalRefsCount = 0;
    std::int32_t ExternalImageRefsCount = 0;
    std::uint8_t ExternalObjects = 0;
    std::uint8_t ExternalFrames = 0;
    std::uint8_t ScriptsFound = 0;  // a script, an event handler or a refresh
    std::uint8_t FoundHtml = 0;
  };

  // Every switch on; the network of six inputs.
  THTMLCheck();

  bool Switch(TSwitch which) const;
  void SetSwitch(TSwitch which, bool on);
  TFindings Findings() const;
  // None of the script switches and CheckExternalRefs is on (the object and
  // frame switches are not asked): the editor's controls read it.
  bool ChecksNothing() const;

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "HTML Check"; }
  // The seven switches ("1" or "0") after the base keys; an absent or
  // malformed one keeps the current value.
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  // "the Test has no name" when the name is empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // "Pa", then "ER", "EI", "EO", "EF", "SF" and "FH": the six figures.
  std::string GetResultCode(std::int32_t msgKey) override;
  // The network's figures for the code's inputs, aligned in columns.
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  // The statistics, then every weight 0.
  void ResetStats() override;
  // Six inputs, each 0 or 1: non-image references, image references,
  // objects, frames, scripts, HTML. Missing values count as 0.
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  bool FSwitches[kSwitchCount];
  TFindings FFindings;
};

}  // namespace halvorn
