// A small, forgiving HTML tokenizer and the text helpers built on it: HTML to
// plain-text lines, a document's tag lines, the items of one element, and the
// links of an HTML text.
//
// Malformed HTML never fails: unclosed tags end with the input and unknown
// entities stay as written. Nothing here keeps state between calls; a parser
// object belongs to one thread at a time, the free functions may run on any
// thread at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// One item of a parsed document: a tag or a run of text.
class THTMLItem {
 public:
  virtual ~THTMLItem() = default;
  // Fills the item from its raw text.
  virtual void SetText(const std::string& text) = 0;

  std::string Raw;  // the item's text as found
};

// One parameter of a tag: KEY=value, KEY="value" or KEY alone.
class THTMLParam {
 public:
  // Raw is the text. With an "=", Value is everything after the first "="
  // (without surrounding double quotes when it is longer than one character
  // and has both) and Key the text before it in upper case; without one, Key
  // is the whole text in upper case and Value is empty. Single quotes stay.
  void SetText(const std::string& text);

  std::string Key;
  std::string Value;
  std::string Raw;
};

// A tag: the text between "<" and ">".
class THTMLTag : public THTMLItem {
 public:
  // Raw is the text; Name the characters up to the first blank in upper case
  // ("/" included for closing tags); the rest is cut into parameters at
  // blanks outside double quotes, empty ones dropped. Only the blank
  // separates: tabs and line ends do not.
  void SetText(const std::string& text) override;

  std::string Name;
  std::vector<THTMLParam> Params;
};

// A run of text between tags.
class THTMLText : public THTMLItem {
 public:
  // Raw is the text; Text the same without line feeds and with its entities
  // decoded in one scan. An entity runs from "&" to the next ";" or blank. A
  // numeric one ("&#65;", "&#x41;", at most three digits) becomes the byte
  // of that code, a blank for codes 0 to 31 and 160; a code below 0 or above
  // 255 is left as written. The named entities "&quot;", "&amp;", "&lt;",
  // "&gt;" and the Latin-1 set from "&nbsp;" to "&yuml;" (case-sensitive)
  // decode the same way, one level only ("&amp;lt;" gives "&lt;"). Anything
  // else, an "&" without its terminator among them, stays.
  void SetText(const std::string& text) override;

  std::string Text;
};

using THTMLItems = std::vector<std::unique_ptr<THTMLItem>>;

// Cuts lines of HTML into a flat list of tag and text items. Lines are
// joined without any separator; a tag that goes on over several lines gets a
// blank between its pieces except before the one that closes it. Not
// copyable.
class THTMLParser {
 public:
  THTMLParser() = default;
  THTMLParser(const THTMLParser&) = delete;
  THTMLParser& operator=(const THTMLParser&) = delete;

  // Parses Lines into Items (appended to what is there).
  void Execute();

  TStringList Lines;  // the input
  THTMLItems Items;   // the result, in document order
};

// Replaces HTML lines by plain-text lines. Scripts are removed from any tag
// whose text holds "script" (a noscript tag too) to the next closing script
// tag, styles from a STYLE tag to the next closing one; text items join into
// lines that end at BR, P, BLOCKQUOTE, DD, /TITLE and LI tags; each line's
// entities are decoded once more (HtmlDecodeEntitiesInPlace).
void HtmlLinesToPlainText(TStringList& lines);
// HtmlLinesToPlainText for a text split at CR, LF or CR LF; the result's
// lines each end with CR LF.
std::string HtmlToPlainText(std::string_view text);
// The same for a memory buffer holding the HTML, which is replaced by the
// plain text.
void HtmlStreamToPlainText(std::string& buffer);

// Replaces HTML lines by one line per tag ("<" + raw text + ">"); a tag
// holding "script language=" (any case) starts a block whose items up to and
// including the next closing script tag are all kept, text items as found.
void ExtractHtmlTagLines(TStringList& lines);

// From `position` (a 0-based index into items), skips to the first tag
// named tagName (in upper case) and adds every following item to `list`
// until the tag named "/" + tagName; `position` ends on that closing tag.
// False when there are fewer than three items or the items run out first.
// The pointers in `list` belong to `items`.
bool HtmlCollectElement(std::string_view tagName, const THTMLItems& items, int& position,
                        std::vector<const THTMLItem*>& list);
// Runs HtmlCollectElement and appends the Text of every collected text item
// to `text`; answers the number of text items.
int HtmlElementText(std::string_view tagName, const THTMLItems& items, std::string& text,
                    int& position);

// Replaces the list by one line per anchor element of the HTML: the comma
// text of the link's URL and the anchor's content, with the line's number
// set to the kind: 0 for text, 1 for an image alone, 2 otherwise (empty, or
// text and image). Works in time linear in the HTML and never raises on
// mail: an unexpected failure is logged and the lines found so far stay.
void ExtractLinks(const std::string& html, TStringList& list);

// Appends the line of one anchor as ExtractLinks writes it: the comma text of
// the URL and the content, numbered with the kind (0 for text, 1 for an image
// alone, 2 otherwise; `image` says whether the content holds an image tag).
// Shared with the pattern form of the link rules that the tests check the
// scanner against.
void AddLinkLine(const std::string& url, const std::string& content, bool image, TStringList& list);

}  // namespace halvorn
