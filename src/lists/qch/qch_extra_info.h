// The central service's extra information on a message, and the HTML the
// program makes of it and of a stored record.
//
// Extra information is a comma text of name=value entries, each value itself
// a comma text of items:
//   "HT", "P"  any item: the service holds the message's text (not shown)
//   "SH"       serialised report lines; when present nothing else is shown
//   "H"        HTML lines
//   "T"        plain text lines
//   "R"        links given by the service
//   "UL"       links given by the program's users
//   "UT"       user notes, each a comma text of lines, optionally led by the
//              user's number
//
// All of it comes from outside (the service, and through "UL" and "UT" other
// users) and ends up in the pages of the local web server, the origin that
// holds the server's key. So nothing is put into HTML as it came: texts are
// escaped, links are links only for http, https and ftp and are escaped in
// the attribute and the text alike, and the HTML of "H" and "SH" keeps only
// a few harmless tags (SafeServiceHtml).
//
// Pure functions; safe from any thread on values the caller owns.
#pragma once

#include <string>
#include <string_view>

#include "lists/qch/qch_records.h"
#include "message/simple_html.h"

namespace halvorn {

// The HTML block of a stored record: times seen, first and last seen, the
// user votes (Personal first), the staff's review, and the extra information
// (or a line saying there is none), in an Arial paragraph.
std::string MessageRecToHtml(const TMessageRec& record);

// Appends the rendering of the extra information to the report, every line
// of output kind 0 with the "<br>" prefix. Answers true when "HT" or "P" has
// a non-empty value (the service holds the message's text). An empty text
// renders nothing.
bool QchExtraInfoToHtml(const std::string& extraInfo, TSimpleHtml& html);

// Appends the rendering of the "UT" value: per note of at least two lines a
// heading (naming the user when the first line is a non-zero number, which
// is then dropped), then the lines escaped in a quoted block. An empty value
// renders nothing.
void UserTextsToHtml(const std::string& userTexts, TSimpleHtml& html);

// Appends the value as a new item of the key's list in the extra
// information (a missing key is added at the end). Nothing happens when the
// key or the value is empty once its blanks are trimmed.
void AddQchExtraInfoItem(const std::string& key, const std::string& value, std::string& extraInfo);

// The HTML text with only the tags b, i, br, p (their attributes dropped)
// and a with an http or https href (its only attribute, escaped) kept, and
// their end tags; every other "<" and ">" is escaped, and every "&" that
// starts no character entity.
std::string SafeServiceHtml(std::string_view html);

// The URL as one line of a link list: a link for http, https and ftp URLs,
// the bare text otherwise, escaped in both places.
std::string QchLinkLine(const std::string& url);

}  // namespace halvorn
