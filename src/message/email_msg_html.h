// What the program reads from, and changes in, the HTML of one MIME part:
// the images it refers to, and the replacement of external image references
// by the local web server's blocked-image link.
//
// TEmailMsgPart's operations of the same topic (GetExtImageRefUrls,
// ReplaceImageExternalRefs, GetFormActions, ...) run these on the part's
// decoded text; they are free functions here so that they can be checked on
// texts alone. Every function works on the caller's text only, never raises
// on hostile HTML and runs in time linear in the text (each reference is
// looked up in a hash set, the text is scanned once).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "foundation/text/string_list.h"

namespace halvorn {

// The kind of an image reference, kept in the Number of its line.
enum TImageRefKind : int {
  irkImageSource = 0,      // the source of an <img> tag
  irkBackground = 1,       // a background= attribute
  irkInputImage = 2,       // after type=image
  irkStyleUrl = 3,         // a url( ) of the first style block
  irkContentId = 4,        // a "cid:" address: a part of the message
  irkContentLocation = 5,  // a Content-Location of a part of the message
};

// A kind of 0 to 3: the reference leads outside the message.
constexpr bool IsExternalImageRefKind(std::int64_t kind) {
  return kind >= irkImageSource && kind <= irkStyleUrl;
}

// The image references of decoded HTML, appended to `refs` with their kind,
// in the order found, repeats kept, empty ones dropped:
//  - the first style block ("<style" to "</style>") is taken out as the
//    style text, and the rest turned into one tag per line (the HTML
//    parser's tag lines), joined with line breaks and double quotes as
//    blanks (the tag text);
//  - kind 0: in each <img ...> of the tag text the first src= value (blanks
//    around "=" allowed); a "cid:" value ends at its first blank or tab,
//    any other before its first character that is not URL-safe;
//  - kind 1: after each "background=" of the tag text (any case), past one
//    blank (what an opening quote became), the run of URL-safe characters;
//  - kind 2: the run of URL-safe characters right after each "type=image"
//    (an image input's source stands in another attribute: this finds one
//    only when a value is glued to it);
//  - kind 3: the run of URL-safe characters right after each "url(" of the
//    style text (any case).
// A value that begins with "cid:" (any case) gets kind 4 instead, one equal
// (ignoring case) to one of `contentLocations` kind 5.
void FindImageRefs(const std::string& decodedHtml, const TStringList& contentLocations,
                   TStringList& refs);

// Replaces, in one pass over the HTML, each attribute value that reads as
// one of `refs` (read by the rules of FindImageRefs) by `replacementFor`
// (ref): the values after src= and background= inside tags, quoted or not
// (the whole value between its quotes, or the unquoted run), and those
// inside url( ) within tags and style blocks. Text outside those places is
// never touched, and what was inserted is never searched again. Answers the
// number of values replaced.
int ReplaceImageRefValues(std::string& html, const std::unordered_set<std::string>& refs,
                          const std::function<std::string(const std::string& ref)>& replacementFor);

// The target of the first form's action in decoded HTML: the first
// "<form" tag (blanks allowed after "<", a blank after "form") taken up to
// the text's last ">", its line breaks removed; in that, the first
// action= value (an opening double quote skipped, up to ">", a double quote
// or a blank), trimmed. Empty when there is none.
std::string FindFormAction(const std::string& decodedHtml);

// The escapes of quoted-printable body lines that stand for URL-safe ASCII
// characters other than "=" ("=41" for "A"): needless encoding.
int CountNeedlessQuotedPrintable(const TStringList& rawLines);

}  // namespace halvorn
