// One test of each of the twelve simple test classes, with settings under
// which each has something to judge in real mail, and the phrase lists they
// name: for the corpus, thread and fuzz checks of the classes. The logical
// and the weighted test refer to each other, so every judgement also meets a
// loop of combining tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "lists/phrases_list.h"

namespace halvorn::test {

// "{Approved Senders}", "{Body Text List}" and "{New IP List}".
inline std::shared_ptr<TPhrasesList> MakeSimpleTestLists() {
  auto lists = std::make_shared<TPhrasesList>();
  auto add = [&](const char* name, std::uint8_t type, const std::vector<const char*>& entries) {
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(type);
    for (const char* entry : entries) list->Add(entry);
    lists->Add(list);
  };
  add("{Approved Senders}", pltEmailAddress,
      {"*@example.com", "*@lists.sourceforge.net", "ann@example.org"});
  add("{Body Text List}", pltStrings, {"* free *", "* click here *", "* remove *", "cheap"});
  add("{New IP List}", pltIPList, {"127.*", "10.*", "192.168.*", "64.*", "*.*.*.1"});
  return lists;
}

// Senders, Words, Relays, Logic, Points, Category, Pattern, Code, Bounce,
// Big, Mine, Info, in that order.
inline std::vector<std::shared_ptr<TTest>> MakeSimpleTestSet() {
  std::vector<std::shared_ptr<TTest>> tests;
  auto add = [&](std::shared_ptr<TTest> test, const char* name) {
    test->SetName(name);
    tests.push_back(test);
  };
  auto tag = std::make_shared<TTagValueTest>();
  tag->SetTag("From");
  tag->SetValue("{Approved Senders}");
  add(tag, "Senders");
  auto body = std::make_shared<TBodyTextTest>();
  body->SetValue("{Body Text List}");
  add(body, "Words");
  auto ip = std::make_shared<TIPCheckTest>();
  ip->SetIPRange("{New IP List}");
  add(ip, "Relays");
  auto logical = std::make_shared<TLogicalTest>();
  logical->SetTerms({{kLogicalAndNot, "Senders"},
                     {kLogicalOr, "Words"},
                     {kLogicalXor, "Relays"},
                     {kLogicalAnd, "Points"}});
  add(logical, "Logic");
  auto sum = std::make_shared<TSumTest>();
  sum->SetThreshold(30);
  sum->SetEntries({{"Words", 40, 0}, {"Relays", 10, -5}, {"Logic", 20, -20}, {"Big", 15, 0}});
  add(sum, "Points");
  add(std::make_shared<TCategoryProbabilityTest>(), "Category");
  auto regex = std::make_shared<TRegularExpressionTest>();
  regex->SetExpression("(viagra|mortgage|lottery|click\\s+here|remove.*list)");
  add(regex, "Pattern");
  add(std::make_shared<TContainsUnblockCodeTest>(), "Code");
  add(std::make_shared<TBouncedUnblockCodeTest>(), "Bounce");
  auto size = std::make_shared<TMsgSizeTest>();
  size->SetMaxBytes(10000);
  add(size, "Big");
  add(std::make_shared<TMyAddrTest>(), "Mine");
  auto info = std::make_shared<TQuorInfoTest>();
  info->SetTag("QuorCategory");
  info->SetValue("1#");
  add(info, "Info");
  return tests;
}

}  // namespace halvorn::test
