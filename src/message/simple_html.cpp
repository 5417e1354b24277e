#include "message/simple_html.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "foundation/files/atomic_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {

namespace {

constexpr int kDefaultLevel = 5;       // of a "-1" line on an empty report
constexpr int kSerializedLevel = 10;   // of a serialised line without "D"
const std::string kBoxDashes(69, '-');

std::int64_t MakeTag(int level, int kind) {
  const int clamped = std::clamp(level, 0, 255);
  return clamped | ((kind & 0xFF) << 8);
}

}  // namespace

int TSimpleHtml::GetLevel(int i) const {
  return static_cast<int>(Numbers(i) & 0xFF);
}

void TSimpleHtml::SetLevel(int i, int level) {
  SetNumber(i, MakeTag(level, GetKind(i)));
}

int TSimpleHtml::GetKind(int i) const {
  return static_cast<int>((Numbers(i) >> 8) & 0xFF);
}

void TSimpleHtml::SetKind(int i, int kind) {
  SetNumber(i, MakeTag(GetLevel(i), kind));
}

void TSimpleHtml::AddLine(const std::string& text, int level, int kind, bool addBreak) {
  if (level == -1) {
    level = Empty() ? kDefaultLevel : GetLevel(Count() - 1);
    addBreak = true;
  }
  AddNumber(addBreak ? kHtmlBreak + text : text, MakeTag(level, kind));
}

void TSimpleHtml::InsertLine(int index, const std::string& text, int level, int kind,
                             bool addBreak) {
  const bool prefix = addBreak && !Empty();
  Insert(index, prefix ? kHtmlBreak + text : text);
  SetNumber(index, MakeTag(level, kind));
}

void TSimpleHtml::AddStrings(const TStringList& lines, int level, int kind, bool addBreak) {
  for (int i = 0; i < lines.Count(); ++i) AddLine(lines[i], level, kind, addBreak);
}

void TSimpleHtml::AppendToLast(const std::string& text) {
  if (Empty()) {
    AddNumber(text, 0);
    return;
  }
  SetString(Count() - 1, Strings(Count() - 1) + text);
}

void TSimpleHtml::AddBr() {
  AddNumber(kHtmlBreak, 0);
}

bool TSimpleHtml::EndsWithBr() const {
  if (Empty()) return false;
  return EndsWith(LowerCase1252(TrimText(Strings(Count() - 1))), kHtmlBreak);
}

bool TSimpleHtml::EndWithBr() {
  if (Empty() || EndsWithBr()) return false;
  AppendToLast(kHtmlBreak);
  return true;
}

bool TSimpleHtml::ReplaceAll(const std::string& oldText, const std::string& newText) {
  bool changed = false;
  for (int i = 0; i < Count(); ++i) {
    std::string line = Strings(i);
    if (ReplaceAllChecked(oldText, newText, line)) {
      SetString(i, std::move(line));
      changed = true;
    }
  }
  return changed;
}

void TSimpleHtml::KeepLevel(int level) {
  for (int i = Count() - 1; i >= 0; --i) {
    if (GetLevel(i) > level) Delete(i);
  }
}

void TSimpleHtml::KeepKind(int kind) {
  if (kind == kHtmlKindAll) return;
  for (int i = Count() - 1; i >= 0; --i) {
    const int lineKind = GetKind(i);
    if (lineKind != kHtmlKindAll && lineKind != kind) Delete(i);
  }
}

void TSimpleHtml::CopyFiltered(TSimpleHtml& destination, int level, int kind) const {
  for (int i = 0; i < Count(); ++i) {
    if (GetLevel(i) > level) continue;
    if (kind == kHtmlKindHtml && GetKind(i) == kHtmlKindPlainText) continue;
    if (kind == kHtmlKindPlainText && GetKind(i) == kHtmlKindHtml) continue;
    destination.AddNumber(Strings(i), Numbers(i));
  }
}

void TSimpleHtml::ToPlainText(TStringList& list) const {
  list.Clear();
  for (int i = 0; i < Count(); ++i) list.Add(Strings(i));
  HtmlLinesToPlainText(list);
}

std::string TSimpleHtml::GetText() const {
  TStringList plain;
  ToPlainText(plain);
  return plain.Text();
}

bool TSimpleHtml::SaveToFile(const std::string& fileName, int kind) const {
  TSimpleHtml lines = *this;
  lines.KeepKind(kind);
  return WriteFileAtomically(fileName, lines.Text()).empty();
}

void TSimpleHtml::WrapInBox(const std::string& title, const std::string& helpLink, int ruleWidth) {
  const TSimpleHtml inner = *this;
  Clear();
  if (!title.empty()) AddLine(title, 1, kHtmlKindPlainText, true);
  AddLine(kBoxDashes, 1, kHtmlKindPlainText, true);
  std::string escapedTitle = title;
  HtmlEscape(escapedTitle);
  const std::string rule =
      " <HR width=\"" + std::to_string(std::abs(ruleWidth)) + "%\" align=\"left\">";
  if (ruleWidth > 0) AddLine(rule, 1, kHtmlKindHtml, false);
  AddLine(" <table width=\"100%\" border=\"0\" cols=2 rows=2 bgcolor=\"white\">", 1,
          kHtmlKindHtml, false);
  AddLine("  <tr>", 1, kHtmlKindHtml, false);
  if (!title.empty()) {
    AddLine("   <td width=\"50%\"><font size=\"-1\"><b>" + escapedTitle + "</b></font></td>", 1,
            kHtmlKindHtml, false);
  }
  if (!helpLink.empty()) {
    AddLine("   <td width=\"50%\"><font size=\"-1\"><A HREF=" + helpLink + ">Help</a></font></td>",
            1, kHtmlKindHtml, false);
  }
  AddLine("  </tr>", 1, kHtmlKindHtml, false);
  AddLine("  <tr><td colspan=\"2\"><font size=\"-1\"><BlockQuote>", 1, kHtmlKindHtml, false);
  inner.CopyFiltered(*this, 255, -1);
  AddLine("  </BlockQuote></font></td></tr>", 1, kHtmlKindHtml, false);
  AddLine(" </table>", 1, kHtmlKindHtml, false);
  if (ruleWidth < 0) AddLine(rule, 1, kHtmlKindHtml, false);
  AddLine(kBoxDashes, 1, kHtmlKindPlainText, true);
}

void TSimpleHtml::LoadSerialized(const TStringList& source) {
  TStringList items;
  for (int i = 0; i < source.Count(); ++i) {
    items.SetCommaText(source[i]);
    const int level = StrToIntDef(items.Values("D"), kSerializedLevel);
    const int kind = StrToIntDef(items.Values("I"), kHtmlKindAll);
    AddLine(items.Values("T"), level, kind, false);
  }
}

TSimpleHtml* TSimpleHtmlList::Add(std::unique_ptr<TSimpleHtml> report) {
  FItems.push_back(std::move(report));
  return FItems.back().get();
}

TSimpleHtml* TSimpleHtmlList::Add() {
  return Add(std::make_unique<TSimpleHtml>());
}

TSimpleHtml& TSimpleHtmlList::Items(int i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("TSimpleHtmlList index out of range");
  return *FItems[static_cast<std::size_t>(i)];
}

}  // namespace halvorn
