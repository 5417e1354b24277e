#include "foundation/text/list_helpers.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {
namespace {

// Runs an edit that changes lines in place. A sorted list would refuse such
// changes, so it is edited through an unsorted copy and sorted again after.
template <class Edit>
void EditLines(TStringList& list, Edit edit) {
  if (!list.Sorted()) {
    edit(list);
    return;
  }
  TStringList work = list;
  work.SetSorted(false);
  edit(work);
  work.SetSorted(true);
  list = std::move(work);
}

}  // namespace

void SplitToList(std::string_view text, std::string_view separator, TStringList& list) {
  if (separator.empty()) {
    if (!text.empty()) list.Add(std::string(text));
    return;
  }
  std::size_t start = 0;
  for (;;) {
    auto found = text.find(separator, start);
    if (found == std::string_view::npos) {
      if (start < text.size()) list.Add(std::string(text.substr(start)));
      return;
    }
    list.Add(std::string(text.substr(start, found - start)));
    start = found + separator.size();
  }
}

std::string JoinStringList(const TStringList& list, std::string_view separator) {
  std::string result;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) result.append(separator);
    result.append(list[i]);
  }
  return result;
}

void SplitAmpersandList(std::string_view text, TStringList& list) {
  list.Clear();
  TStringList pieces;
  SplitToList(text, "&", pieces);
  for (int i = 0; i < pieces.Count(); ++i) list.Add(UrlDecode(pieces[i]));
}

void ReverseStringList(TStringList& list) {
  EditLines(list, [](TStringList& lines) {
    for (int i = 0, j = lines.Count() - 1; i < j; ++i, --j) lines.Exchange(i, j);
  });
}

void TrimStringList(TStringList& list) {
  EditLines(list, [](TStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i) lines.SetString(i, TrimText(lines[i]));
  });
}

void RemoveDuplicateLines(TStringList& list, bool sorted) {
  if (!sorted) {
    RemoveDuplicateLinesUnsorted(list);
    return;
  }
  list.Sort();
  // A list that sorts ignoring case may keep "a", "A", "a" in that order:
  // look back over the whole run of lines that sort alike, not only the
  // line just before.
  int runStart = 0;
  for (int i = 1; i < list.Count();) {
    if (list.CompareStrings(list[runStart], list[i]) != 0) {
      runStart = i++;
      continue;
    }
    bool repeat = false;
    for (int k = runStart; k < i && !repeat; ++k) repeat = list[k] == list[i];
    if (repeat) {
      list.Delete(i);
    } else {
      ++i;
    }
  }
}

void RemoveDuplicateLinesUnsorted(TStringList& list) {
  std::unordered_set<std::string> seen;
  TStringList kept = list;
  kept.Clear();
  for (int i = 0; i < list.Count(); ++i) {
    if (seen.insert(list[i]).second) kept.AddItem(list.Item(i));
  }
  list = std::move(kept);
}

bool ListRoundTripChanged(TStringList& list) {
  const int before = list.Count();
  const std::string text = list.Text();
  list.SetText(text);
  return list.Count() != before;
}

void BubbleSortList(TStringList& list,
                    const std::function<int(const std::string&, const std::string&)>& compare) {
  EditLines(list, [&compare](TStringList& lines) {
    // A consistent comparison needs at most Count() passes; the bound keeps an
    // inconsistent one from looping for ever.
    for (int pass = 0; pass <= lines.Count(); ++pass) {
      bool exchanged = false;
      for (int i = 0; i + 1 < lines.Count(); ++i) {
        if (compare(lines[i], lines[i + 1]) > 0) {
          lines.Exchange(i, i + 1);
          exchanged = true;
        }
      }
      if (!exchanged) break;
    }
  });
}

void AlignTildeColumns(TStringList& list, int maxColumn) {
  EditLines(list, [maxColumn](TStringList& lines) {
    // Every pass removes one "~" from at least one line, so the passes end.
    for (;;) {
      std::size_t column = 0;  // 1-based; 0 = no line has a "~"
      for (int i = 0; i < lines.Count(); ++i) {
        auto p = lines[i].find('~');
        if (p != std::string::npos) column = std::max(column, p + 1);
      }
      if (column == 0) return;
      const std::size_t capped =
          maxColumn < 1 ? 0 : std::min(column, static_cast<std::size_t>(maxColumn));
      for (int i = 0; i < lines.Count(); ++i) {
        auto p = lines[i].find('~');
        if (p == std::string::npos) continue;
        std::string line = lines[i];
        line.erase(p, 1);
        if (capped > p + 1) line.insert(p, capped - (p + 1), ' ');
        lines.SetString(i, std::move(line));
      }
    }
  });
}

void WrapLongLines(TStringList& list, int width, bool keepIndent) {
  EditLines(list, [width, keepIndent](TStringList& lines) {
    const std::size_t limit = width > 0 ? static_cast<std::size_t>(width) : 0;
    // Each new line is shorter than the line it was cut from (the break lies
    // after the leading spaces), so the loop ends.
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string line = lines[i];
      if (line.size() <= limit) continue;
      std::size_t indent = 0;
      while (indent < line.size() && line[indent] == ' ') ++indent;
      // The last space at or before position `width` (0-based index < limit).
      std::size_t cut = std::string::npos;
      for (std::size_t k = std::min(limit, line.size()); k > 0; --k) {
        if (line[k - 1] == ' ') {
          cut = k - 1;
          break;
        }
      }
      if (cut == std::string::npos || cut < indent) {
        // None, or only leading spaces: the first space past `width` that is
        // not a leading one.
        cut = line.find(' ', std::max(limit, indent));
        if (cut == std::string::npos) continue;
      }
      std::string rest = line.substr(cut + 1);
      if (keepIndent) rest.insert(0, indent, ' ');
      lines.SetString(i, line.substr(0, cut + 1));
      lines.Insert(i + 1, std::move(rest));
    }
  });
}

void PadLinesRight(TStringList& list, int width, char fill) {
  if (width <= 0) return;
  EditLines(list, [width, fill](TStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i) {
      const std::size_t target = static_cast<std::size_t>(width);
      if (lines[i].size() < target) {
        std::string line = lines[i];
        line.append(target - line.size(), fill);
        lines.SetString(i, std::move(line));
      }
    }
  });
}

std::string CommaTextValue(std::string_view commaText, std::string_view name) {
  TStringList list;
  list.SetCommaText(commaText);
  return list.Values(name);
}

std::string LinesValue(std::string_view text, std::string_view name) {
  TStringList list;
  list.SetText(text);
  return list.Values(name);
}

void CommaTextSetValue(std::string_view name, std::string_view value, std::string& commaText) {
  TStringList list;
  list.SetCommaText(commaText);
  list.SetValue(name, value);
  commaText = list.CommaText();
}

std::string TextToCommaText(std::string_view text) {
  TStringList list;
  list.SetText(text);
  return list.CommaText();
}

std::string CommaTextToLines(std::string_view commaText) {
  TStringList list;
  list.SetCommaText(commaText);
  std::string lines = JoinStringList(list, "\r\n");
  if (list.Count() > 0 && list[list.Count() - 1].empty()) lines += "\r\n";
  return lines;
}

std::string MergeCommaTexts(std::string_view first, std::string_view second, bool keepDuplicates) {
  if (first.empty() || first == "\"\"") return std::string(second);
  if (second.empty() || second == "\"\"") return std::string(first);
  TStringList lines;
  lines.SetCommaText(first);
  TStringList more;
  more.SetCommaText(second);
  lines.AddStrings(more);
  if (!keepDuplicates) RemoveDuplicateLinesUnsorted(lines);
  return lines.CommaText();
}

}  // namespace halvorn
