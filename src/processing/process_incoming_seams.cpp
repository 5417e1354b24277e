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
#include "processing/attachment_danger.h"
#include "processing/black_white_lists.h"
#include "foundation/threads/heartbeat.h"
#include "message/mailing_list.h"
#include "message/message_repository.h"
#include "message/simple_html.h"

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

void TProcessIncomingThread::FCheckAttachedFiles(TEmailMsg& msg) {
  CheckAttachedFiles(msg, FFileExtensions.get());
}

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
  if (TMessageRepository* repo = GetMessageRepository(kSingleUserName))
    ReorderQueue(*repo->UnProcessedIncoming());
}

void TProcessIncomingThread::FCheckBlackWhite() {
  TMessageRepository* repo = GetMessageRepository(kSingleUserName);
  if (repo == nullptr) return;
  for (auto it = FCheckNotes.begin(); it != FCheckNotes.end();) {
    if (it->second.Msg.expired())
      it = FCheckNotes.erase(it);
    else
      ++it;
  }
  // The fingerprints of the mailing-list mail checked in this pass, for the
  // Lite mode's same-list inference.
  TQueueFingerprints fingerprints;
  for (const TEmailMsgRef& msg : repo->UnProcessedIncoming()->Snapshot()) {
    if (msg == nullptr || msg->BlackWhiteChecked.load()) continue;
    // A message someone else holds is checked at a later pass.
    if (msg->IsFlaggedDeleted() || msg->IsLocked() || msg->IsLockedByOther()) continue;
    if (msg->GetUserWanted() != kTriteUnknown) {
      msg->BlackWhiteChecked.store(true);
      continue;
    }
    if (!msg->Lock(FClaimOwner.Token(), kProcessIncomingName)) continue;
    FCheckOne(msg, &fingerprints);
    if (std::unique_ptr<TMailingList> fingerprint = msg->GetMailingList())
      fingerprints.push_back(std::shared_ptr<TMailingList>(std::move(fingerprint)));
    msg->Unlock(FClaimOwner.Token(), kProcessIncomingName);
    // 10 000 waiting messages are not held in memory.
    msg->ReleaseText();
    if (StopRequested()) return;
  }
}

void TProcessIncomingThread::FCheckOne(const TEmailMsgRef& msg, const TQueueFingerprints* queueMail) {
  msg->BlackWhiteChecked.store(true);
  TCheckNotes notes;
  notes.Msg = msg;
  CheckBlackWhiteMessage(*msg, FirstTimeRun.load(), queueMail, notes.Main);
  TSimpleHtmlList& extra = msg->AdditionalInfo();
  if (extra.Count() > 0) notes.Extra = extra.Items(extra.Count() - 1);
  FCheckNotes[msg.get()] = std::move(notes);
}

void TProcessIncomingThread::FRestoreCheckNotes(const TEmailMsgRef& msg) {
  if (!msg->BlackWhiteChecked.load()) {
    // Downloaded after this pass's check.
    if (msg->GetUserWanted() == kTriteUnknown) {
      FCheckOne(msg, nullptr);
      return;
    }
    msg->BlackWhiteChecked.store(true);
  }
  const auto found = FCheckNotes.find(msg.get());
  if (found == FCheckNotes.end() || found->second.Msg.lock() != msg) return;
  const TSimpleHtml& main = found->second.Main;
  for (int i = 0; i < main.Count(); ++i)
    msg->GeneralInfo().AddLine(main[i], main.GetLevel(i), main.GetKind(i), false);
  if (msg->AdditionalInfo().Count() == 0 && found->second.Extra.Count() > 0)
    msg->AdditionalInfo().Add(std::make_unique<TSimpleHtml>(found->second.Extra));
}

void TProcessIncomingThread::FPerformWhitelistedOptions(TEmailMsg& msg) {
  PerformWhitelistedOptions(msg);
}

void TProcessIncomingThread::FPerformSpecialBlackWhiteProcessing(TEmailMsg& msg) {
  PerformSpecialBlackWhiteProcessing(msg);
}

}  // namespace halvorn
