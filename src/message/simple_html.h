// Report text: HTML lines that each carry a detail level and an output kind,
// written once and rendered several times (cut down to the detail level a
// user asked for, to the lines meant for an HTML or a plain-text body, or
// turned into plain text).
//
// Plain values, not thread-safe: a report shared between threads is guarded
// by its owner (the message's lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// Output kinds of a line.
inline constexpr int kHtmlKindAll = 0;        // every output
inline constexpr int kHtmlKindHtml = 1;       // HTML output only
inline constexpr int kHtmlKindPlainText = 2;  // plain-text output only

// The line break that report lines put in front of their text.
inline constexpr const char* kHtmlBreak = "<br>";

// A report. Each line's number (TStringList::Numbers) is its tag: the detail
// level (0 to 255) in bits 0-7, the output kind in bits 8-15. A line is shown
// when the requested level is at least its level, so higher levels are more
// detailed lines. Lines appended without a level (AddBr, or TStringList's own
// Add) have level 0 and kind 0. Text() gives the HTML lines, each followed by
// CR LF; GetText the plain-text rendering.
class TSimpleHtml : public TStringList {
 public:
  int GetLevel(int i) const;
  // A level above 255 is stored as 255, one below 0 as 0.
  void SetLevel(int i, int level);
  int GetKind(int i) const;
  // Keeps the kind's low 8 bits.
  void SetKind(int i, int kind);

  // Appends a line. Level -1 means the level of the current last line (5 on
  // an empty report), and the line then always gets the "<br>" prefix;
  // otherwise the text gets the prefix when addBreak is set.
  void AddLine(const std::string& text, int level, int kind, bool addBreak);
  // Inserts a line before index (Count() appends); the text gets the "<br>"
  // prefix when addBreak is set and the report is not empty.
  void InsertLine(int index, const std::string& text, int level, int kind, bool addBreak);
  // AddLine for every line of the list, in order.
  void AddStrings(const TStringList& lines, int level = -1, int kind = kHtmlKindAll,
                  bool addBreak = true);
  // Appends the text to the last line, whose tag stays; on an empty report
  // adds it as a line of level 0 and kind 0.
  void AppendToLast(const std::string& text);
  // Appends the line "<br>" (level 0, kind 0).
  void AddBr();
  // The last line, trimmed and lower-cased, ends with "<br>"; false when
  // empty.
  bool EndsWithBr() const;
  // Appends "<br>" to the last line unless EndsWithBr; true when it did.
  // Nothing and false on an empty report.
  bool EndWithBr();
  // ReplaceAllChecked on every line; true when any line changed.
  bool ReplaceAll(const std::string& oldText, const std::string& newText);

  // Deletes every line whose level is above the level.
  void KeepLevel(int level);
  // Kind 0 keeps everything; another kind deletes every line whose kind is
  // neither 0 nor that kind.
  void KeepKind(int kind);
  // Appends to the destination, with its text, level and kind (no break
  // added), every line whose level is at most the level, leaving out the
  // plain-text lines when kind is 1 and the HTML lines when kind is 2 (any
  // other kind keeps both).
  void CopyFiltered(TSimpleHtml& destination, int level, int kind) const;

  // The lines turned into plain-text lines (HtmlLinesToPlainText), replacing
  // the list's lines.
  void ToPlainText(TStringList& list) const;
  // The plain-text lines, each followed by CR LF.
  std::string GetText() const;
  // Writes the lines (kind 0) or the lines KeepKind of that kind keeps, each
  // followed by CR LF, replacing the file atomically. False when it cannot be
  // written.
  bool SaveToFile(const std::string& fileName, int kind = kHtmlKindAll) const;

  // Rebuilds the report as a box: in HTML output a two-column table headed by
  // the title and a Help link to the help link, in plain-text output the
  // lines between two dashed lines under the title. A rule width above 0
  // draws a rule of that width (percent) above the table, one below 0 below
  // it. An empty title or help link leaves its cell out.
  void WrapInBox(const std::string& title, const std::string& helpLink = {}, int ruleWidth = 0);

  // Appends one line per source line, each a comma text of name=value items:
  // "T" the text, "D" the level (10 when missing or not a number), "I" the
  // kind (0 when missing or not a number); no break is added.
  void LoadSerialized(const TStringList& source);
};

// A list of reports that owns them.
class TSimpleHtmlList {
 public:
  // Takes ownership of the report and appends it; answers it.
  TSimpleHtml* Add(std::unique_ptr<TSimpleHtml> report);
  // Appends a new empty report and answers it.
  TSimpleHtml* Add();
  int Count() const { return static_cast<int>(FItems.size()); }
  // The report at index i; throws std::out_of_range outside 0 .. Count()-1.
  TSimpleHtml& Items(int i) const;
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TSimpleHtml>> FItems;
};

}  // namespace halvorn
