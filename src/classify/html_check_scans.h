// The text the HTML check searches and its searches.
//
// The check reduces an HTML part to its tags, one after the other, lower
// case, without blanks and double quotes ("<ahref=xonclick=go()>"), and asks
// whether that text holds certain tags. The questions were regular
// expressions of the form "<[^>]*(word|word...):.*?>"; on a text of many
// "<" without ">" ("a < b" lines) such a pattern backtracks quadratically
// and the engine gives up, so that any sender could make the check raise.
// The scans here answer exactly what those patterns answer, in one pass.
//
// Everything here works on the caller's text only, never raises on hostile
// HTML and is safe from any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"

namespace halvorn {

// The searched text of decoded HTML lines: one tag per line
// (ExtractHtmlTagLines), the lines joined, every CR LF removed, lower case
// (code page 1252), every blank and double quote removed.
std::string HtmlCheckText(const TStringList& decodedLines);

// Whether the text holds a "<" after which, before any ">", one of the words
// stands followed by one of the terminators, with a ">" somewhere after
// that: what "<[^>]*(word|...)[terminators].*?>" finds with "." matching
// line breaks. Words are matched exactly (the text is lower case already).
bool HtmlTagHasWordThen(std::string_view text, std::span<const std::string_view> words,
                        std::string_view terminators);

// The event handlers the check looks for ("onclick" ... "onunload").
inline constexpr std::string_view kHtmlEventWords[] = {
    "onclick",   "ondblclick", "onmousedown", "onmouseup",   "onmouseover", "onmousemove",
    "onmouseout", "onkeypress", "onkeydown",  "onkeyup",     "onfocus",     "onblur",
    "onsubmit",  "onload",     "onabort",     "onchange",    "ondragdrop",  "onerror",
    "onmove",    "onreset",    "onresize",    "onselect",    "onunload"};

// The script languages a "language:" reference names.
inline constexpr std::string_view kHtmlScriptWords[] = {
    "jscript", "javascript", "vbs", "vbscript", "perlscript", "wmlscript"};

// An event handler in a tag: "onclick:" as well as "onclick=" (the form a
// tag takes in the searched text, its blanks and quotes gone).
bool HtmlHasEventHandler(std::string_view text);

}  // namespace halvorn
