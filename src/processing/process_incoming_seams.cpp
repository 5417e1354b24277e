// The steps of the incoming processing thread that other units of the
// processing subsystem own: the notice's report, backup, list and
// categorisation links and its danger line; the black and white lists of
// incoming mail; the attachment danger analysis; the central service's
// match information and test submission. Until each is built here, its
// step adds nothing to the message (no report line, link, danger point or
// verdict), so the pipeline around it runs as it will with them.
#include "processing/process_incoming_thread.h"

#include "message/processing_options.h"
#include "processing/notice_links.h"

namespace halvorn {

// The central service's information.

// Asks the service for this machine's external address while it is not
// known. Without a client the address stays unknown and nothing is asked.
void TProcessIncomingThread::FAskExternalAddress() {}

void TProcessIncomingThread::FStartQchMatchQuery(TEmailMsg& /*msg*/) {}

void TProcessIncomingThread::FProduceQchInfo(TEmailMsg& /*msg*/) {}

void TProcessIncomingThread::FSubmitTests(TEmailMsg& /*msg*/) {}

// Sends the service the record of a relayed message; false when it was not
// sent (no client: never).
bool TProcessIncomingThread::FSubmitRelayedMessage(TEmailMsg& /*msg*/,
                                                   const std::string& /*copyPath*/) {
  return false;
}

// The attachment danger analysis.

void TProcessIncomingThread::FCheckAttachedFiles(TEmailMsg& /*msg*/) {}

// The notice's links and lines.

void TProcessIncomingThread::FAddReportLink(TEmailMsg& msg) { AddReportLink(msg); }

void TProcessIncomingThread::FAddBackupLink(TEmailMsg& msg) { AddBackupLink(msg); }

void TProcessIncomingThread::FAddSenderLinks(TEmailMsg& msg) {
  AddSenderLinks(msg, GetProcessingOptions(kSingleUserName).DetailLevel);
}

void TProcessIncomingThread::FAddSubjectLinks(TEmailMsg& msg) { AddSubjectLinks(msg); }

void TProcessIncomingThread::FAddCategorizeLinks(TEmailMsg& msg) {
  FPresetCategoryLink = AddCategorizeLinks(msg);
}

void TProcessIncomingThread::FAddDangerLine(TEmailMsg& msg) { AddDangerLine(msg); }

// A message with a preset category (the developer menu's test run): its
// numbering, the service's message id header and its categorisation link
// (FPresetCategoryLink, kept by FAddCategorizeLinks).
void TProcessIncomingThread::FTestMessageSteps(TEmailMsg& /*msg*/) {}

// The black and white lists.

// Moves wanted mail to the front of the queue and unwanted mail to the back
// (after FCheckBlackWhite has judged each message once).
void TProcessIncomingThread::FReorderIncomming() {
  FCheckBlackWhite();
}

void TProcessIncomingThread::FCheckBlackWhite() {}

void TProcessIncomingThread::FPerformWhitelistedOptions(TEmailMsg& /*msg*/) {}

void TProcessIncomingThread::FPerformSpecialBlackWhiteProcessing(TEmailMsg& /*msg*/) {}

}  // namespace halvorn
