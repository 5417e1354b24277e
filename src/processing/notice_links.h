// The lines processing writes into a message's report sections for its
// notice and reports: the report and backup links, the links that put the
// sender or the subject on a list, the mailing-list links with the inferred
// subscription, the category lines with the categorisation links, and the
// danger line with the danger points.
//
// Every link is a local link (LocalLink, quor_url.h), written twice: as an
// HTML anchor (kind 1) and as text (kind 2), where the text form uses the
// side record's short "Decode" link. Values taken from the message (addresses,
// subjects, list names) are HTML-escaped in lines of kind 0 and 1 and stay as
// they are in lines of kind 2.
//
// Threads: each function works on one message, from the thread that runs its
// analysis; the phrase lists and the known mailing lists are read and changed
// through their own locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvorn {

using TTrite = std::uint8_t;
class TEmailMsg;
class TMailingList;

// The command and the query keys of the links written here.
inline constexpr const char* kCmdAddAddrToList = "AddAddrToList";
inline constexpr const char* kCmdListAddress = "ListAddress";
inline constexpr const char* kCmdAddPhrase = "AddPhrase";
inline constexpr const char* kCmdAddPhraseToSomeList = "AddPhraseToSomeList";
inline constexpr const char* kCmdSetMailList = "SetMailList";
inline constexpr const char* kCmdCategorize = "Categorize";
inline constexpr const char* kCmdMsgInfo = "MsgInfo";

// The link's text form: the side record's short "Decode" link for it, or the
// link itself when the record cannot make one.
std::string ShortOrFullLink(TEmailMsg& msg, const std::string& link);
// The side record's standard-test entry (unknown when unset).
TTrite StandardTestOf(TEmailMsg& msg, int index);
// The text HTML-escaped (HtmlEscape) for a line of kind 0 or 1.
std::string HtmlSafe(std::string text);

// "A full report can be viewed here" in LinkInfo, when the message has a
// report file name.
void AddReportLink(TEmailMsg& msg);
// The backup link and where the backup lies, when the side record names a
// backup file.
void AddBackupLink(TEmailMsg& msg);

// The add-to-list links of the sender's From and Reply-To addresses in
// ListLinks, by the user-interface mode (UiMode); `detailLevel` is the
// processing option DetailLevel. Nothing without either address.
void AddSenderLinks(TEmailMsg& msg, int detailLevel);
// The add-to-list links of the subject (reply and forward prefixes taken off)
// in ListLinks; nothing for an empty subject.
void AddSubjectLinks(TEmailMsg& msg);

// The category lines and categorisation links in CategoryInfo, from the
// message's combined probabilities with the verdict applied. Answers the
// categorisation link of the message's preset category (GetQuorCategory),
// empty when it has none.
std::string AddCategorizeLinks(TEmailMsg& msg);

// The detail level of a category line: trunc((200 - p - threshold) / 10 + 1)
// held to 1..11.
int CategoryLineLevel(int percentage, int threshold);
// The danger line's text for the danger level, in its colour.
std::string DangerLineText(int danger);
// The danger line, at the top of GeneralInfo, with one line per danger entry
// below it. Not for a message in the trash (the caller's test).
void AddDangerLine(TEmailMsg& msg);

// The other mailing-list mail of the message's queue, for the Lite mode's
// inference: the fingerprints the caller has already made of them.
using TQueueFingerprints = std::vector<std::shared_ptr<TMailingList>>;

// Merges the message's mailing-list fingerprint into the known lists, infers
// the subscription when it is unknown, approves the list's addresses, writes
// the list's links and notes into ListLinks, sets the standard-test entry 770
// and (for a decided list) the verdict. Nothing for a message that is no
// mailing-list mail. `firstRun` is the grace period of a new installation;
// `queueMail` may be null (no same-list inference).
void AddMailingListLinks(TEmailMsg& msg, bool firstRun, const TQueueFingerprints* queueMail);

}  // namespace halvorn
