// The tests that compare one thing of a message with a search text or with
// the entries of a named phrase list: TTagValueTest a header field's value,
// TBodyTextTest the text of the body, TIPCheckTest the addresses of the relays
// in the Received lines. Each follows the whole evaluation protocol: the
// answer at StandardTestNum, the cache, the explanation and the log record,
// also when judging raises (then with false, and the error goes on).
//
// A setting names a phrase list when the global set has a list of that name
// (FindGlobalPhraseList, ignoring case, looked up at every use: when the list
// is deleted the setting is a plain search text again); otherwise the setting
// is itself the search text, in the wildcard language that kWildcardNote
// explains to the user.
//
// Threads. The settings live under the test's lock and are read and written
// as copies from any thread (the editor on the main thread, the rules on the
// processing thread). Evaluate runs on the processing thread; it copies the
// settings once and holds no test lock while it reads the message or a
// phrase list, which guard themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "classify/test_base.h"

namespace halvorn {

class TPhrases;

// The help text of every test that searches with wildcards (GetNote): a line
// break, then the lines that explain the wildcard characters.
extern const std::string kWildcardNote;

// The list of the global set of phrase lists with that name, ignoring case;
// nullptr when there is none, or no global set. Safe from any thread.
std::shared_ptr<TPhrases> FindGlobalPhraseList(std::string_view name);

// What Describe adds for a test whose setting names `list`: CR LF CR LF
// "Description of the list is as follows:" CR LF and the list's description;
// empty when there is no list or its description is empty.
std::string ListDescriptionText(TPhrases* list);

// The settings a header field test and the info-tag test share: Tag (the
// field or property name) and Value (a search text or a phrase list's name),
// stored as "Tag" and "Value" after the base keys; the validation of both;
// and Value following the renames of the phrase list it names.
class TTagAndValueTest : public TTest {
 public:
  std::string Tag() const;
  void SetTag(const std::string& tag);
  std::string Value() const;
  void SetValue(const std::string& value);

  void SaveToIni(TQuorIniFile& ini) override;
  // "Tag" and "Value" default to empty.
  void LoadFromIni(TQuorIniFile& ini) override;
  // Value := the new name when it equals the old name exactly.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name", else "tag is not specified", else "value is not
  // specified", else empty.
  std::string Validate() override;
  std::string GetNote() override { return kWildcardNote; }

 protected:
  struct TSettings {
    std::string Name;
    std::string Tag;
    std::string Value;
  };
  TSettings Settings() const;
  // Describe of both: 'email has "VALUE" as the value for ' + `tagWords`, or
  // with a list 'email has one of the phrases in the list"VALUE" as the
  // value for ' + `tagWords` and the list's description; after the reason
  // of an invalid test.
  std::string DescribeValue(const std::string& tagWords);

 private:
  std::string FTag;
  std::string FValue;
};

// "Header Tag Value": passes when the decoded value of the header field Tag
// matches Value: the whole value against a search text (a leading or
// trailing "*" frees that end), or, for a list, the whole value against one
// of the list's entries. On "Subject" leading "Re:"-like prefixes are
// stripped first. A list named exactly like one of the five built-in sender,
// subject and message-id lists also records the answer under its standard
// test number (TESTNUM_APPROVED_SENDER ... TESTNUM_KNOWN_MSGID).
class TTagValueTest : public TTagAndValueTest {
 public:
  static constexpr const char* kClassName = "TTagValueTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Header Tag Value"; }
  std::string Describe() override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
};

// "Message Contains Text": passes when the body holds the search text, or an
// entry of the list, anywhere. With InlineOnly (on for a new test, off for a
// stored test without the key) the body's plain text is searched sentence by
// sentence (lower-cased, addresses and runs of punctuation cut out, each
// sentence between blanks) and the decoded Subject as one more line; without
// it the decoded lines of the first plain and HTML parts, HTML as source.
class TBodyTextTest : public TTest {
 public:
  static constexpr const char* kClassName = "TBodyTextTest";

  std::string Value() const;
  void SetValue(const std::string& value);
  bool InlineOnly() const;
  void SetInlineOnly(bool inlineOnly);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Message Contains Text"; }
  // "Value", "InlineOnly" ("1" or "0") after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // "Value" defaults to empty, "InlineOnly" to off.
  void LoadFromIni(TQuorIniFile& ini) override;
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name", else "no text to search for has been
  // specified", else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return kWildcardNote; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  struct TSettings {
    std::string Name;
    std::string Value;
    bool InlineOnly;
  };
  TSettings Settings() const;

  std::string FValue;
  bool FInlineOnly = true;
};

// "Sender IP Check": passes when the address of a relay (the IPNumber-th
// Received line: from the origin when positive, from our end when negative,
// every line when 0) holds the pattern IPRange, or one of the list's entries,
// anywhere (the string library's wildcard scan, ignoring case). Relays that
// are this machine (127.* and its own addresses) never match, whichever
// relay is asked for. A stored test without "IPNumber" asks for relay
// 2147483647, which no message has, and so never passes.
class TIPCheckTest : public TTest {
 public:
  static constexpr const char* kClassName = "TIPCheckTest";

  std::string IPRange() const;
  void SetIPRange(const std::string& range);
  std::int32_t IPNumber() const;
  void SetIPNumber(std::int32_t number);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Sender IP Check"; }
  // "IPRange", "IPNumber" after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // "IPRange" defaults to empty, "IPNumber" to 2147483647.
  void LoadFromIni(TQuorIniFile& ini) override;
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name", else "no IP range specified", else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return kWildcardNote; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  struct TSettings {
    std::string Name;
    std::string IPRange;
    std::int32_t IPNumber;
  };
  TSettings Settings() const;

  std::string FIPRange;
  std::int32_t FIPNumber = 0;
};

}  // namespace halvorn
