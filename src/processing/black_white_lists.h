// The black and white lists of incoming mail: before the analysis, the
// user's lists decide whether a message is wanted (whitelisted) or unwanted
// (blacklisted), each reason written into its report, and the queue is
// reordered (wanted mail first, unwanted last); after the analysis, wanted
// mail feeds the lists and the tests' training.
//
// The verdict is the message's user verdict: setting it never turns a
// recorded yes into anything else, which is how a whitelisted message
// resists the blacklisting reasons found after it. Every reason is looked
// up, so the "not blacklisted even though" lines appear too.
//
// Threads: the incoming processing thread calls these; the phrase lists and
// known mailing lists are read and changed through their own locks.
#pragma once

#include "foundation/text/string_list.h"
#include "message/email_msg.h"
#include "processing/notice_links.h"

namespace halvorn {

class TEmailMsgList;
class TSimpleHtml;

// Checks one message whose verdict is still unknown: the mailing-list links
// and inference (AddMailingListLinks), the whitelisting reasons, the
// mailing-list verdict and the blacklisting reasons, setting the standard-
// test entries 757-769 and 787-789. The first whitelisting reason goes to
// GeneralInfo and also to `mainReason` (the caller keeps it for the run, as
// the run clears GeneralInfo); later lines go to a new extra fragment of
// AdditionalInfo.
void CheckBlackWhiteMessage(TEmailMsg& msg, bool firstRun, const TQueueFingerprints* queueMail,
                            TSimpleHtml& mainReason);

// One reorder walk of the queue: every message not yet reordered (and not
// missing, flagged deleted, locked or held by another owner) is marked
// reordered; a wanted one moves to the front, an unwanted one to the end.
void ReorderQueue(TEmailMsgList& queue);

// After the analysis of a wanted message: its Message-ID joins {Sent
// Message ids}, its sender addresses and its To and CC addresses join
// {Approved Senders}. Nothing for any other message.
void PerformWhitelistedOptions(TEmailMsg& msg);

// In the cleanup, once the store has the message: a wanted message becomes
// personal (working category 9) and is queued for the tests' training.
void PerformSpecialBlackWhiteProcessing(TEmailMsg& msg);

}  // namespace halvorn
