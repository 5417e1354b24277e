// Operations on string lists and comma texts (a list's lines as one text,
// see TStringList::CommaText).
//
// Every function works only on its arguments, never raises on ordinary input
// and is safe from any thread. The functions that edit lines in place work on
// sorted lists too: they edit a copy without the order and sort it again.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"

namespace halvorn {

// Appends the pieces of `text` between occurrences of `separator`; an empty
// last piece is not appended (empty pieces elsewhere are). An empty separator
// appends the whole text when it is not empty.
void SplitToList(std::string_view text, std::string_view separator, TStringList& list);
// The lines joined with the separator between them; empty for an empty list.
std::string JoinStringList(const TStringList& list, std::string_view separator);
// Clears the list and appends each "&"-separated piece of the text
// URL-decoded; an empty last piece is not appended.
void SplitAmpersandList(std::string_view text, TStringList& list);
void ReverseStringList(TStringList& list);
// TrimText on every line.
void TrimStringList(TStringList& list);
// With `sorted`, sorts the list and removes every line exactly equal to an
// earlier one; otherwise RemoveDuplicateLinesUnsorted. Equality is exact.
void RemoveDuplicateLines(TStringList& list, bool sorted);
// Removes every line exactly equal to an earlier one; first occurrences keep
// their places.
void RemoveDuplicateLinesUnsorted(TStringList& list);
// Writes the list out as text lines and reads it back, so that line breaks
// inside lines split them. True when the number of lines changed.
bool ListRoundTripChanged(TStringList& list);
// Bubble sort: passes over adjacent pairs, exchanging a pair whenever
// compare(a, b) > 0, until a pass exchanges nothing (at most Count() passes,
// so an inconsistent comparison cannot loop for ever).
void BubbleSortList(TStringList& list,
                    const std::function<int(const std::string&, const std::string&)>& compare);
// Lines up the "~" marks of the lines in columns: pass by pass the first "~"
// of every line is removed and the text after it moved to the largest such
// position over all lines (capped at maxColumn) by inserting spaces.
void AlignTildeColumns(TStringList& list, int maxColumn);
// Cuts lines longer than `width` after the last space at or before position
// `width` (else after the first space past it); the rest becomes the next
// line, indented like the cut line when keepIndent is set. A line without a
// usable space stays whole. Leading spaces never serve as the break.
void WrapLongLines(TStringList& list, int width, bool keepIndent);
// Appends `fill` to every line shorter than `width` until it is that long.
void PadLinesRight(TStringList& list, int width, char fill);

// The value of a name in the name=value lines of a comma text (of a text of
// lines); names match ignoring case. Empty when absent.
std::string CommaTextValue(std::string_view commaText, std::string_view name);
std::string LinesValue(std::string_view text, std::string_view name);
// Sets name=value in the lines of the comma text and writes it back (an
// empty value removes the name).
void CommaTextSetValue(std::string_view name, std::string_view value, std::string& commaText);
// The comma text of the text's lines (a break after the last line ends it
// and adds no empty line).
std::string TextToCommaText(std::string_view text);
// The lines of the comma text joined by CR LF, with no break after the last
// unless the last line is empty: that break keeps it, so TextToCommaText
// gives the same lines back and a text stored through the pair (a phrase
// list's description) stays the same at every save.
std::string CommaTextToLines(std::string_view commaText);
// A text empty or exactly two double quotes yields to the other; otherwise
// the lines of the second are appended to those of the first and, unless
// keepDuplicates, later repeats removed. Answers the combined comma text.
std::string MergeCommaTexts(std::string_view first, std::string_view second, bool keepDuplicates);

}  // namespace halvorn
