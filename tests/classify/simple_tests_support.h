// What the tests of the test classes share: fixture messages made with
// Python's email package, messages from bytes, the explanation and log
// record of a judgement as text, global test and phrase lists for one test's
// scope, and the corpus sample the corpus-wide checks read.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "classify/test_base.h"
#include "classify/test_list.h"
#include "foundation/text/string_list.h"
#include "lists/phrases.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "support/test_support.h"

namespace halvorn::test {

using Lines = std::vector<std::string>;

// A message of the bytes of a message file (an optional property line, then
// the message); it never writes a file.
inline TEmailMsgRef MessageFromBytes(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

// The fixture messages of tests/data/simple_test_fixtures.py by name, made
// once per test program.
inline const std::map<std::string, std::string>& FixtureBytes() {
  static const std::map<std::string, std::string> fixtures = [] {
    std::map<std::string, std::string> made;
    const CommandResult result = RunCommand({PythonPath(), DataPath("simple_test_fixtures.py")});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    for (const std::string& line : OutputLines(result.Output)) {
      const std::size_t blank = line.find(' ');
      if (blank != std::string::npos)
        made[line.substr(0, blank)] = BytesFromHex(line.substr(blank + 1));
    }
    return made;
  }();
  return fixtures;
}

// A fresh message of the fixture (each call a new message with a new key).
inline TEmailMsgRef Fixture(const std::string& name) {
  const auto& fixtures = FixtureBytes();
  const auto found = fixtures.find(name);
  EXPECT_NE(found, fixtures.end()) << name;
  return MessageFromBytes(found == fixtures.end() ? std::string() : found->second);
}

// The explanation as "level text" lines.
inline Lines ExplanationLines(const TTest& test) {
  const TSimpleHtml html = test.Explanation();
  Lines lines;
  for (int i = 0; i < html.Count(); ++i)
    lines.push_back(std::to_string(html.GetLevel(i)) + " " + html[i]);
  return lines;
}

// The start of the log's record of service and text, as the log writes it.
inline std::string LogRecord(const std::string& service, const std::string& text) {
  TStringList record;
  record.Add("S=" + service);
  record.Add("T=" + text);
  return record.CommaText() + ",D=5,E=0,";
}

// The message's standard-test trite at the number.
inline TTrite StandardTrite(TEmailMsg& msg, std::int32_t number) {
  TTriteArray trites;
  msg.WithInfo([&](TEmailInfo& info) { trites = info.StandardTests(); });
  return TriteGet(trites, number);
}

// A global test list for the object's lifetime (the one before comes back).
class ScopedTestList {
 public:
  ScopedTestList() : FOld(GlobalTestList()) { SetGlobalTestList(FList); }
  ~ScopedTestList() { SetGlobalTestList(FOld); }
  ScopedTestList(const ScopedTestList&) = delete;
  ScopedTestList& operator=(const ScopedTestList&) = delete;

  TTestList& operator*() const { return *FList; }
  TTestList* operator->() const { return FList.get(); }
  template <class T>
  std::shared_ptr<T> Add(std::shared_ptr<T> test) {
    FList->AddTest(test);
    return test;
  }

 private:
  std::shared_ptr<TTestList> FOld;
  std::shared_ptr<TTestList> FList = std::make_shared<TTestList>();
};

// A global set of phrase lists (a new empty one unless given) for the
// object's lifetime.
class ScopedPhraseLists {
 public:
  explicit ScopedPhraseLists(std::shared_ptr<TPhrasesList> lists = std::make_shared<TPhrasesList>())
      : FOld(GlobalPhrasesList()), FLists(std::move(lists)) {
    SetGlobalPhrasesList(FLists);
  }
  ~ScopedPhraseLists() { SetGlobalPhrasesList(FOld); }
  ScopedPhraseLists(const ScopedPhraseLists&) = delete;
  ScopedPhraseLists& operator=(const ScopedPhraseLists&) = delete;

  TPhrasesList& operator*() const { return *FLists; }
  // A new list of the name, type and entries, appended to the set.
  std::shared_ptr<TPhrases> Add(const std::string& name, const Lines& entries,
                                std::uint8_t type = pltStrings,
                                const std::string& description = {}) {
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(type);
    list->SetDescription(description);
    for (const std::string& entry : entries) list->Add(entry);
    FLists->Add(list);
    return list;
  }

 private:
  std::shared_ptr<TPhrasesList> FOld;
  std::shared_ptr<TPhrasesList> FLists;
};

// The corpus files the corpus-wide checks read: every `step`-th file, or all
// of them when HALVORN_FULL_CORPUS is set (the sanitizer build takes minutes
// for the whole corpus).
inline std::vector<std::string> CorpusSample(std::size_t step = 10) {
  std::vector<std::string> files = CorpusFiles();
  const char* full = std::getenv("HALVORN_FULL_CORPUS");
  if (full != nullptr && *full != '\0') return files;
  std::vector<std::string> sample;
  for (std::size_t i = 0; i < files.size(); i += step) sample.push_back(files[i]);
  return sample;
}

// A corpus file's bytes without a first line beginning with "From ".
inline std::string CorpusMessageBytes(const std::string& path) {
  std::string bytes = ReadFileBytes(path);
  if (bytes.rfind("From ", 0) == 0) {
    const std::size_t end = bytes.find('\n');
    bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
  }
  return bytes;
}

}  // namespace halvorn::test
