#include "processing/process_incoming_thread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "classify/test_list.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "message/dcc_checksums.h"
#include "message/email_address.h"
#include "message/email_msg_list.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "processing/rule_list.h"

namespace halvorn {

std::atomic<platform::ThreadId> ProcessingThreadId{0};

const char* const kLongDateScoreName =
    "Date tag too long MS security hole (see "
    "https://learn.microsoft.com/en-us/security-updates/securitybulletins/2000/ms00-043)";

namespace {

constexpr int kCommitMoveAttempts = 11;
constexpr int kExceptionMoveAttempts = 51;
constexpr int kMaxDateLength = 60;
constexpr std::int32_t kLongDatePoints = 90;
constexpr int kPreProcessLimit = 10;  // a pass ends once more than this were pre-processed
constexpr const char* kOlderNoticeNote =
    "  Note: There may be some partial Halvorn information attached to this message from a "
    "previous analysis.";

// Serialises the daily count of relayed probes with its day.
std::mutex relayCountMutex;

void LogThread(const std::string& text, int detail, bool error) {
  Log(kProcessIncomingName, text, static_cast<std::uint8_t>(detail), error);
}

std::string Describe(TEmailMsg& msg) {
  std::string name = msg.GetFileName();
  const std::size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  return "\"" + name + "\"";
}

// The run of one message: it is the thread's current message and holds the
// thread's claim until the run ends, or, in a batch, until the batch has
// committed (the batch lets it go). A run that unwinds without having
// reached one of its ends (an abandoned worker) leaves the message so that
// its changes are never saved: locks cannot be taken on that way out, and
// the next run drops the changes.
class TRun {
 public:
  TRun(TEmailMsgRef& current, const TEmailMsgRef& msg, TClaimOwner owner,
       TMailStore::TBatch* batch)
      : FCurrent(current),
        FMsg(msg),
        FOwner(owner),
        FKept(batch != nullptr),
        FUncaught(std::uncaught_exceptions()) {
    FCurrent = msg;
    if (batch != nullptr) batch->KeepClaimed(msg, owner, kProcessIncomingName);
  }
  ~TRun() {
    if (std::uncaught_exceptions() > FUncaught) {
      FMsg->SetSaveChanges(false);
    } else if (!FKept) {
      try {
        FMsg->Unlock(FOwner, kProcessIncomingName);
      } catch (...) {
        // The claim counts as free once the thread's owner token goes.
      }
    }
    FCurrent = nullptr;
  }
  TRun(const TRun&) = delete;
  TRun& operator=(const TRun&) = delete;

 private:
  TEmailMsgRef& FCurrent;
  TEmailMsgRef FMsg;
  TClaimOwner FOwner;
  bool FKept;
  int FUncaught;
};

// A message's changes that an abandoned run left are dropped before anyone
// works on it again.
void DropAbandonedChanges(TEmailMsg& msg) {
  if (msg.GetSaveChanges()) return;
  msg.DropChanges();
  msg.SetSaveChanges(true);
}

TMessageRepository* Repository() {
  return GetMessageRepository(kSingleUserName);
}

std::string FolderOfPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void ClearSections(TEmailMsg& msg, std::initializer_list<TSimpleHtml*> sections) {
  TCriticalSectionGuard guard(msg.MessageLock());
  for (TSimpleHtml* section : sections) section->Clear();
}

}  // namespace

TProcessIncomingThread::TProcessIncomingThread() {
  SetPriority(TThreadPriority::tpLower);
}

TProcessIncomingThread::~TProcessIncomingThread() = default;

void TProcessIncomingThread::SetStopRequested(bool stop) {
  FStop.store(stop);
}

// ---------------------------------------------------------------------------
// The loop

void TProcessIncomingThread::Execute() {
  ProcessingThreadId.store(ThreadId());
  // Mail the download stores wakes the thread at once.
  TMailStore& store = GetMailStore();
  const TThreadHandle handle = Handle();
  store.SetArrivalWaker([handle] { WakeThread(handle); }, this);
  struct TWakerGuard {
    TMailStore& Store;
    const void* Owner;
    ~TWakerGuard() { Store.RemoveArrivalWaker(Owner); }
  } waker{store, this};
  CatchAllButAbandonment([&] {
    // The user's queues, loaded now unless the main window already did.
    Repository();
    while (!FStop.load() && !CheckTerminated()) {
      FReorderIncomming();
      if (!FPause.load() && FProcessBatch() > 0) {
        std::this_thread::yield();
        continue;
      }
      if (!FPause.load() && !BackgroundTrainNNs.load()) {
        if (TrainNeuralNets.load()) {
          if (std::shared_ptr<TTestList> tests = GlobalTestList()) tests->Train();
        }
        FDeleteOldReports();
      }
      while (BackgroundTrainNNs.load() && !FStop.load() && !CheckTerminated() && !FPause.load()) {
        if (std::shared_ptr<TTestList> tests = GlobalTestList()) tests->Train();
        std::this_thread::yield();
      }
      if (FStop.load() || CheckTerminated()) break;
      // A wake-up that came since the last look for work is not lost.
      SuspendUnlessWoken();
      StampAlive();
    }
  }, [](const std::string& error) {
    LogThread("The incoming processing thread failed: " + error, 3, true);
    PostToMainWindow(WM_INCOMING_THREAD_FAILED, 0, 0);
  });
}

bool TProcessIncomingThread::FStopCheck() {
  if (FCurrent) FCurrent->RenewClaim(FClaimOwner.Token());
  return FStop.load() || CheckTerminated();
}

bool TProcessIncomingThread::FWaitUnlessStopped(int ms) {
  const std::int64_t end = SteadyMilliseconds() + ms;
  for (;;) {
    if (FStopCheck()) return false;
    const std::int64_t left = end - SteadyMilliseconds();
    if (left <= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(left, 50)));
  }
}

bool TProcessIncomingThread::FileIsIn(TEmailMsg& msg, TEmailMsgList* queue) {
  return FolderOfPath(msg.GetFileName()) == queue->Folder();
}

bool TProcessIncomingThread::FMoveWithRetries(const TEmailMsgRef& msg, TEmailMsgList* from,
                                              TEmailMsgList* to, int attempts, bool swallow) {
  TMessageRepository* repo = Repository();
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    bool moved = false;
    if (swallow) {
      CatchAllButAbandonment([&] { moved = repo->MoveMailMessage(msg, from, to); },
                             [&](const std::string& error) {
                               LogThread("Moving " + Describe(*msg) + " failed: " + error, 5, true);
                             });
    } else {
      moved = repo->MoveMailMessage(msg, from, to);
    }
    if (moved) return true;
    if (attempt < attempts && !FWaitUnlessStopped(FMoveRetryDelayMs)) return false;
  }
  LogThread("Could not move " + Describe(*msg) + " from " + from->Name() + " to " + to->Name(), 3,
            true);
  return false;
}

// ---------------------------------------------------------------------------
// Batches

int TProcessIncomingThread::FProcessBatch() {
  TMailStore::TBatch batch(GetMailStore());
  FBatch = &batch;
  struct TClear {
    TMailStore::TBatch*& Batch;
    ~TClear() { Batch = nullptr; }
  } clear{FBatch};
  int runs = 0;
  while (runs < kProcessingBatchSize && !FStop.load() && !CheckTerminated() && !FPause.load()) {
    if (!FProcessNextMessage()) break;
    ++runs;
  }
  // The texts written beside the old ones, one flush, the renames, one
  // flush; then the claims go and POP3 sessions may list the messages.
  const std::string error = batch.Commit();
  if (!error.empty()) LogThread("A batch of processed mail did not commit: " + error, 3, true);
  return runs;
}

// ---------------------------------------------------------------------------
// One message

bool TProcessIncomingThread::FProcessNextMessage() {
  FAskExternalAddress();
  FPreProcessMessages();
  TEmailMsgRef msg = GetNextIncomingToProcess();
  if (!msg) return false;
  TMessageRepository* repo = Repository();
  TEmailMsgList* incoming = repo->UnProcessedIncoming();
  // Another owner took it, or it left the queue, since it was found.
  if (!msg->Lock(FClaimOwner.Token(), kProcessIncomingName)) return true;
  TRun run(FCurrent, msg, FClaimOwner.Token(), FBatch);
  FObliterated = false;
  if (repo->OwnQueueOf(*msg) != incoming) return true;
  DropAbandonedChanges(*msg);

  if (!msg->EnsureLoaded()) {
    if (!std::filesystem::exists(msg->GetFileName())) {
      LogThread("The file of " + Describe(*msg) + " has gone; it leaves the queue", 3, true);
      incoming->Remove(msg);
    } else {
      // Nothing can be read, so nothing can be analysed or marked: it goes
      // on as it is.
      LogThread(Describe(*msg) + " cannot be read; it goes on unanalysed", 3, true);
      FMoveWithRetries(msg, incoming, repo->ProcessedIncoming(), kExceptionMoveAttempts, true);
    }
    return true;
  }

  // Mail of an account whose mail is not to be processed.
  if (TRemoteAccountRef account = msg->GetSourceRemoteAccount()) {
    if (!account->ProcessUsingQuor.load()) {
      msg->SetRemoteState(us_NonExistant);
      msg->Obliterate(false, "Process incomming asked not to process");
      return true;
    }
  }

  CatchAllButAbandonment([&] { FProcessMessage(msg); },
                         [&](const std::string& error) { FExceptionPath(msg, error); });
  return true;
}

void TProcessIncomingThread::FProcessMessage(const TEmailMsgRef& msg) {
  TMessageRepository* repo = Repository();
  TEmailMsgList* incoming = repo->UnProcessedIncoming();

  // Marks of an earlier run: the message is moved on before any rule.
  const std::string started = msg->GetProperty(kPropStartedProcessing);
  const std::string excepted = msg->GetProperty(kPropExceptedProcessing);
  if (started == kMarkFinished || !excepted.empty()) {
    FPassOnMarked(msg, started == kMarkFinished);
    return;
  }
  if (!started.empty())
    throw std::runtime_error("a run of the message ended unfinished (\"" +
                             std::string(kPropStartedProcessing) + "\" = \"" + started + "\")");

  if (FIsDuplicate(msg)) {
    msg->FSetFlaggedDeleted(true);
    incoming->ObliterateFlagged(false, kProcessIncomingName);
    return;
  }
  if (GetMailStore().TakePiece(msg)) {
    FObliterated = true;
    return;
  }
  if (FStopCheck()) {
    msg->DropChanges();
    return;
  }
  if (SelectiveOpenRelay.load() && !msg->GetProperty(kPropUserAuthenticated).empty()) {
    FHandleRelayedMessage(msg);
    return;
  }

  {
    TCriticalSectionGuard guard(msg->MessageLock());
    msg->Probabilities().Clear();
    msg->GeneralInfo().Clear();
    msg->AttachmentInfo().Clear();
    msg->MessageInfo().Clear();
    msg->LinkInfo().Clear();
  }
  FRestoreCheckNotes(msg);
  // A run after a dropped one meets the notices again.
  if (!msg->InfoRemoved.load()) FRemoveOlderNotice(*msg);
  msg->AnalyzeTextParts();

  std::shared_ptr<TRuleList> rules = GlobalRuleList();
  bool consumed = false;
  if (rules) {
    CatchAllButAbandonment(
        [&] { consumed = rules->ApplyRules(*msg, Rt_ReceiveBeforeProcessing, &FStop); },
        [&](const std::string& error) {
          LogThread("The rules before processing raised: " + error, 5, true);
          consumed = false;
        });
  }
  if (consumed && msg->IsInTrash()) {
    msg->Obliterate(msg->DeleteCode() != 0, msg->DeleteReason());
    FObliterated = true;
    return;
  }
  const TProcessingOptions options = GetProcessingOptions(kSingleUserName);
  for (bool (TEmailMsg::*repair)() :
       {&TEmailMsg::FixMultilineAttachmentNames, &TEmailMsg::CleanAttachmentNames,
        &TEmailMsg::FixAttachmentNameLengths}) {
    CatchAllButAbandonment([&] { ((*msg).*repair)(); }, [](const std::string& error) {
      LogThread("Repairing attachment names raised: " + error, 7, true);
    });
  }
  FMainProcessing(msg, consumed, options);
}

void TProcessIncomingThread::FMainProcessing(const TEmailMsgRef& msg, bool consumed,
                                             const TProcessingOptions& options) {
  TMessageRepository* repo = Repository();
  TEmailMsgList* incoming = repo->UnProcessedIncoming();
  bool committed = false;
  msg->SetProperty(kPropStartedProcessing, kMarkProcessing);
  do {
    if (FStopCheck()) break;
    if (!consumed) FProduceQchInfo(*msg);
    if (FStopCheck()) break;
    FCheckAttachedFiles(*msg);
    FScoreLongDate(*msg);
    if (FStopCheck()) break;
    FAddReportLink(*msg);
    if (FStopCheck()) break;
    FAddBackupLink(*msg);
    if (FStopCheck()) break;
    if (!consumed) {
      if (std::shared_ptr<TRuleList> rules = GlobalRuleList()) {
        CatchAllButAbandonment(
            [&] { rules->ApplyRules(*msg, Rt_ReceiveAfterProcessing, &FStop); },
            [](const std::string& error) {
              LogThread("The rules after processing raised: " + error, 5, true);
            });
      }
    }
    if (FStopCheck()) break;
    FPerformWhitelistedOptions(*msg);
    if (FStopCheck()) break;
    if (!msg->HasMailingListHeaders() && !msg->IsInTrash()) {
      FAddSenderLinks(*msg);
      FAddSubjectLinks(*msg);
    }
    if (std::shared_ptr<TTestList> tests = GlobalTestList())
      msg->SetInfoValue(TEmailInfoKey::StatData, tests->CollectResultCodes(msg->GetContentId()));
    if (FStopCheck()) break;
    FSubmitTests(*msg);
    FAddCategorizeLinks(*msg);
    msg->WriteCategoryHeaders();
    if (msg->GetQuorCategory() != 0) FTestMessageSteps(*msg);
    if (!msg->IsInTrash()) FAddDangerLine(*msg);
    if (FStopCheck()) break;
    if (options.AddMultipartAlternative && !msg->IsInTrash()) msg->AddMissingAlternative();
    if (FStopCheck()) break;
    if (!msg->IsInTrash()) {
      const std::string error = msg->BuildSummaryReportAndInfo();
      if (!error.empty()) LogThread("The report of " + Describe(*msg) + ": " + error, 5, true);
      msg->ClearCaches();
    }
    if (repo->OwnQueueOf(*msg) == incoming) committed = FCommit(msg);
  } while (false);

  // The run's end.
  FPerformSpecialBlackWhiteProcessing(*msg);
  TEmailMsgList* own = repo->OwnQueueOf(*msg);
  if (own == repo->Trash()) {
    msg->Obliterate(msg->DeleteCode() != 0, msg->DeleteReason());
    FObliterated = true;
    return;
  }
  ClearSections(*msg, {&msg->GeneralInfo(), &msg->AttachmentInfo(), &msg->MessageInfo(),
                       &msg->QchInfo()});
  msg->GetDnsrblLookup().Clear();
  if (committed) return;
  if (own == incoming) {
    // Stopped, or the move failed: the file keeps what it holds.
    msg->DropChanges();
    return;
  }
  // An action moved it (held, or sent on): it is saved where it lies (at
  // the batch's commit).
  msg->SetProperty(kPropStartedProcessing, "");
  msg->SaveToFile();
}

bool TProcessIncomingThread::FCommit(const TEmailMsgRef& msg) {
  if (FBatch == nullptr) return false;
  if (GetMailStore().CommitProcessed(*FBatch, msg, FClaimOwner.Token(), kProcessIncomingName))
    return true;
  LogThread("Could not commit " + Describe(*msg) + "; it stays for another run", 3, true);
  return false;
}

void TProcessIncomingThread::FPassOnMarked(const TEmailMsgRef& msg, bool /*finished*/) {
  // What lies in the file goes on; nothing of this run is added to it.
  msg->DropChanges();
  if (FBatch != nullptr)
    GetMailStore().PassOnMarked(*FBatch, msg, FClaimOwner.Token(), kProcessIncomingName);
}

void TProcessIncomingThread::FExceptionPath(const TEmailMsgRef& msg, const std::string& what) {
  LogThread("Processing " + Describe(*msg) + " raised: " + what + "; it goes on unanalysed", 3,
            true);
  if (FObliterated || FBatch == nullptr) return;
  GetMailStore().PassOnUnanalysed(*FBatch, msg, FClaimOwner.Token(), kProcessIncomingName);
}

bool TProcessIncomingThread::FIsDuplicate(const TEmailMsgRef& msg) {
  return GetMailStore().IsProcessedDuplicate(*msg, msg->GetUidl(),
                                             msg->GetInfoValue(TEmailInfoKey::RemoteAccountId));
}

// ---------------------------------------------------------------------------
// Pre-processing

void TProcessIncomingThread::FRemoveOlderNotice(TEmailMsg& msg) {
  if (!msg.DoRemoveQuorInfo()) return;
  TCriticalSectionGuard guard(msg.MessageLock());
  msg.GeneralInfo().AddLine(kOlderNoticeNote, 1, kHtmlKindAll, true);
}

void TProcessIncomingThread::FPreProcessMessages() {
  std::shared_ptr<TRuleList> rules = GlobalRuleList();
  for (TMessageRepository* repo : GlobalMsgReposList().Repositories()) {
    int count = 0;
    for (const TEmailMsgRef& msg : repo->UnProcessedIncoming()->Snapshot()) {
      if (msg->IsFlaggedDeleted() || msg->IsLocked() || msg->IsLockedByOther()) continue;
      if (FStopCheck()) return;
      if (!msg->Lock(FClaimOwner.Token(), kProcessIncomingName)) continue;
      TEmailMsgRef none;
      TRun run(none, msg, FClaimOwner.Token(), nullptr);
      CatchAllButAbandonment(
          [&] {
            DropAbandonedChanges(*msg);
            // A marked message goes on as it is: its mark is what its run reads.
            if (!msg->GetProperty(kPropStartedProcessing).empty() ||
                !msg->GetProperty(kPropExceptedProcessing).empty())
              return;
            const bool wasChanged = msg->IsChanged();
            msg->SetProperty(kPropStartedProcessing, kMarkPreProcessing);
            bool removed = false;
            try {
              removed = msg->DoRemoveQuorInfo();
              if (removed) {
                TCriticalSectionGuard guard(msg->MessageLock());
                msg->GeneralInfo().AddLine(kOlderNoticeNote, 1, kHtmlKindAll, true);
              }
              ++count;
              if (count <= 2) FStartQchMatchQuery(*msg);
              if (!msg->PrefetchChecksums() && rules) rules->PreEvaluateTests(*msg);
            } catch (...) {
              msg->SetProperty(kPropStartedProcessing, "");
              throw;
            }
            msg->SetProperty(kPropStartedProcessing, "");
            // Setting and removing the mark changed nothing that is kept.
            if (!wasChanged && !removed) msg->SetChanged(false);
          },
          [&](const std::string& error) {
            LogThread("Pre-processing " + Describe(*msg) + " raised: " + error, 5, true);
          });
      if (count > kPreProcessLimit) break;
    }
  }
}

void TProcessIncomingThread::FScoreLongDate(TEmailMsg& msg) {
  std::string date;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    if (!msg.GetHeader()->GetValue("Date", date)) return;
  }
  if (static_cast<int>(date.size()) > kMaxDateLength) msg.AddScore(kLongDateScoreName, kLongDatePoints);
}

void TProcessIncomingThread::FDeleteOldReports() {
  const std::shared_ptr<const TProcessingOptions> options =
      GetGlobalProcessingOptions(kSingleUserName);
  const int days = options ? options->DeleteReportAfter : 0;
  DeleteFilesOlderThan(GetReportsDir(kSingleUserName), "*.htm", Now() - days, TFileAge::LastUse);
}

// ---------------------------------------------------------------------------
// Mail of the selective open relay

bool TProcessIncomingThread::FShouldRelayProbe(TEmailMsg& msg) {
  std::lock_guard<std::mutex> lock(relayCountMutex);
  const TDateTime now = Now();
  if (std::floor(now) != std::floor(RelayedProbeDay.load())) {
    RelayedProbeCount.store(0);
    RelayedProbeDay.store(now);
  }
  if (RelayedProbeCount.load() >= RelayedProbeLimit.load()) return false;
  if (msg.GetSize() > 2000 || msg.CountAttachments() != 0) return false;
  TStringList plain;
  msg.GetPlainText(plain, false);
  std::size_t characters = 0;
  for (int i = 0; i < plain.Count(); ++i) characters += plain[i].size();
  if (plain.Count() >= 6 || characters > 500) return false;
  std::string recipients = msg.GetProperty(kPropRcptTo);
  int count = 0;
  if (!recipients.empty()) {
    TStringList list;
    list.SetCommaText(recipients);
    count = list.Count();
  } else {
    TCriticalSectionGuard guard(msg.MessageLock());
    std::string to;
    if (msg.GetHeader()->GetValue("To", to)) {
      TEmailAddress address;
      address.Parse(to);
      if (address.IsValid() && !address.Address.empty()) {
        recipients = address.Address;
        count = 1;
      }
    }
  }
  if (count >= 2 || PosCI(kMakerUserMailDomain, recipients) > 0) return false;
  RelayedProbeCount.store(RelayedProbeCount.load() + 1);
  return true;
}

void TProcessIncomingThread::FHandleRelayedMessage(const TEmailMsgRef& msg) {
  TMessageRepository* repo = Repository();
  if (FShouldRelayProbe(*msg)) {
    std::string copy;
    msg->SaveCopyAs(GetRelayProbesDir(kSingleUserName), copy);
    msg->SetProperty(kPropDirectToMX, "1");
    // Saved before the move: in the outgoing queue a probe without the mark
    // would go through the user's own server.
    if (!msg->SaveToFile()) throw std::runtime_error("the relayed probe could not be saved");
    LogThread("Relaying Msg with subject line: " + msg->GetSubject(), 11, false);
    FMoveWithRetries(msg, repo->UnProcessedIncoming(), repo->ProcessedOutGoing(),
                     kCommitMoveAttempts, false);
    return;
  }
  TDigest16 fuzz2{};
  msg->GetDccFuz2Sum(fuzz2);
  const std::string checksum = DigestToHex(fuzz2);
  const auto place =
      std::lower_bound(FRelayedChecksums.begin(), FRelayedChecksums.end(), checksum);
  if (place != FRelayedChecksums.end() && *place == checksum) {
    LogThread("Not saving dup relayed msg: " + checksum, 11, false);
    msg->Obliterate(false, kProcessIncomingName);
    FObliterated = true;
    return;
  }
  FRelayedChecksums.insert(place, checksum);
  std::string copy;
  msg->SaveCopyAs(GetRelaySpamDir(kSingleUserName), copy);
  LogThread("New relayed msg: " + checksum + " path = " + msg->GetFileName(), 11, false);
  TCheckSumArray sums;
  if (msg->GetCheckSums(sums, false) > 0) {
    CatchAllButAbandonment(
        [&] {
          if (FSubmitRelayedMessage(*msg, copy))
            LogThread("Msg submitted", 11, false);
          else
            LogThread("Failed to submit Msg", 11, true);
        },
        [](const std::string& error) {
          LogThread("SubmitMessage excepted with " + error, 11, true);
        });
  }
  msg->Obliterate(false, "ProcessIncomingThread");
  FObliterated = true;
}

}  // namespace halvorn
