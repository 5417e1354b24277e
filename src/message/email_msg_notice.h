// The notice that processing adds to a message's text parts, and the texts
// it is made of: its begin and end markers, where it goes in an HTML text,
// the box it stands in inside a plain text, and its removal.
//
// A notice is inserted as a frame and removed as that same frame, so that
// removing it gives back the text exactly as it was:
//  - in an HTML text: one line per notice line, from the begin marker line
//    (kNoticeHtmlBeginTop right after the <body ...> start tag when at the
//    top, kNoticeHtmlBeginBottom before </body> when at the bottom) to the
//    end marker line, each followed by CR LF;
//  - in a plain text: a box of lines "| " + line + " |" from the box line of
//    kNoticePlainBegin to that of kNoticePlainEnd, and an empty line after it.
// Notices of older versions are found by their marker pairs and cut from the
// begin marker through the end marker.
//
// The functions here work on texts only, run in time linear in the text
// (whatever markers or fragments of them it holds) and are safe from any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"
#include "message/msg_category.h"

namespace halvorn {

// The markers of the current notice.
inline constexpr std::string_view kNoticeHtmlBeginTop =
    "<br><!Begin_Quorvantis_Information><font color=\"white\" size=\"-10\">"
    "---------------------Begin_Quorvantis_Information--------------------</font>";
inline constexpr std::string_view kNoticeHtmlBeginBottom =
    "<!Begin_Quorvantis_Information><font color=\"white\" size=\"-10\">"
    "---------------------Begin_Quorvantis_Information--------------------</font>";
inline constexpr std::string_view kNoticeHtmlEnd =
    "<font color=\"white\" size=\"-10\">"
    "----------------------End_Quorvantis_Information---------------------</font>"
    "<!End_Quorvantis_Information>";
inline constexpr std::string_view kNoticePlainBegin =
    "---------------------Begin_Quorvantis_Information--------------------";
inline constexpr std::string_view kNoticePlainEnd =
    "----------------------End_Quorvantis_Information---------------------";

// The width of the text inside a plain notice's box.
inline constexpr int kNoticeBoxWidth = 69;

// The per-message property that asks for the notices to go when the message
// is sent ("Yes" / "No").
inline constexpr const char* kPropRemoveQuorInfoOnSend = "RemoveQuorInfoOnSend";

// The category headers, in the order they are written, with their
// categories.
struct TCategoryHeader {
  const char* Name;
  TMsgCategory Category;
};
inline constexpr TCategoryHeader kCategoryHeaders[] = {
    {"X-Quor-Personal", Mc_Personal},       {"X-Quor-CommercialSpam", Mc_CommercialSpam},
    {"X-Quor-ChainLetter", Mc_ChainLetter}, {"X-Quor-Petition", Mc_Petition},
    {"X-Quor-UrbanLegend", Mc_UrbanLegend}, {"X-Quor-Bulk", Mc_Bulk},
    {"X-Quor-Hoax", Mc_Hoax},               {"X-Quor-Joke", Mc_Joke},
    {"X-Quor-Virus", Mc_Virus},
};

// Where a notice goes in an HTML text (a byte offset):
//  - at the top: right after the first <body ...> start tag (any case, any
//    attributes, a ">" inside a quoted attribute value not ending it), else
//    after the first <html ...> start tag, else 0;
//  - at the bottom: right before the first </body>, else the first </html>,
//    else before the text's final line break (CR LF, LF or CR, taken
//    whole), else the end.
std::size_t HtmlNoticeInsertPoint(std::string_view html, bool atTop);

// Inserts the notice text (its lines each ending with CR LF) at the place
// HtmlNoticeInsertPoint gives.
void InsertHtmlNotice(std::string& html, std::string_view notice, bool atTop);

// Puts plain notice lines in their box: a line longer than 69 characters is
// wrapped at a blank (its leading blanks repeated on the lines it makes; a
// word too long to fit stays whole), every line is padded with blanks to 69
// characters and framed ("| " + line + " |"; a line still longer than 69
// gets only the "| " in front), and an empty line follows the box.
void BoxPlainNotice(TStringList& lines);

// Removes one notice from a text part's decoded lines: first the frame of a
// current notice (an HTML frame in an HTML text, a plain box otherwise),
// else the first marker pair, in the order "========" markers, plain
// markers, HTML comment markers, bare words, whose begin marker is followed
// by its end marker (cut from the begin marker through the end marker; a
// begin marker without an end marker after it is logged and the next pair
// tried). True when something was removed.
bool RemoveNoticeFromLines(TStringList& lines, bool html);

}  // namespace halvorn
