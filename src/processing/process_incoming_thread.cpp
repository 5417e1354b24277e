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
#include "message/message_repository.h"
#include "message/partial_messages.h"
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
constexpr const char* kJoinedSuffix = ".joined";
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
// thread's claim until the run ends. A run that unwinds without having
// reached one of its ends (an abandoned worker) leaves the message so that
// its changes are never saved: locks cannot be taken on that way out, and
// the next run drops the changes.
class TRun {
 public:
  TRun(TEmailMsgRef& current, const TEmailMsgRef& msg, TClaimOwner owner)
      : FCurrent(current), FMsg(msg), FOwner(owner), FUncaught(std::uncaught_exceptions()) {
    FCurrent = msg;
  }
  ~TRun() {
    if (std::uncaught_exceptions() > FUncaught) {
      FMsg->SetSaveChanges(false);
    } else {
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
  try {
    // The user's queues, loaded now unless the main window already did.
    Repository();
    FFinishHalfDoneJoins();
    while (!FStop.load() && !CheckTerminated()) {
      FReorderIncomming();
      if (!FPause.load() && FProcessNextMessage()) {
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
      Suspend();
      StampAlive();
    }
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& error) {
    LogThread(std::string("The incoming processing thread failed: ") + error.what(), 3, true);
    PostToMainWindow(WM_INCOMING_THREAD_FAILED, 0, 0);
  } catch (...) {
    LogThread("The incoming processing thread failed", 3, true);
    PostToMainWindow(WM_INCOMING_THREAD_FAILED, 0, 0);
  }
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
    try {
      moved = repo->MoveMailMessage(msg, from, to);
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& error) {
      if (!swallow) throw;
      LogThread("Moving " + Describe(*msg) + " failed: " + error.what(), 5, true);
    }
    if (moved) return true;
    if (attempt < attempts && !FWaitUnlessStopped(FMoveRetryDelayMs)) return false;
  }
  LogThread("Could not move " + Describe(*msg) + " from " + from->Name() + " to " + to->Name(), 3,
            true);
  return false;
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
  TRun run(FCurrent, msg, FClaimOwner.Token());
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

  try {
    FProcessMessage(msg);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& error) {
    FExceptionPath(msg, error.what());
  }
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
  if (FHandlePartialMessage(msg)) return;
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
    try {
      consumed = rules->ApplyRules(*msg, Rt_ReceiveBeforeProcessing, &FStop);
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& error) {
      LogThread("The rules before processing raised: " + std::string(error.what()), 5, true);
      consumed = false;
    }
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
    try {
      ((*msg).*repair)();
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& error) {
      LogThread("Repairing attachment names raised: " + std::string(error.what()), 7, true);
    }
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
        try {
          rules->ApplyRules(*msg, Rt_ReceiveAfterProcessing, &FStop);
        } catch (const EThreadAbandoned&) {
          throw;
        } catch (const std::exception& error) {
          LogThread("The rules after processing raised: " + std::string(error.what()), 5, true);
        }
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
  // An action moved it (held, or sent on): it is saved where it lies.
  msg->SetProperty(kPropStartedProcessing, "");
  if (msg->SaveToFile()) msg->ReleaseText();
}

bool TProcessIncomingThread::FCommit(const TEmailMsgRef& msg) {
  TMessageRepository* repo = Repository();
  TEmailMsgList* incoming = repo->UnProcessedIncoming();
  TEmailMsgList* processed = repo->ProcessedIncoming();
  msg->SetProperty(kPropStartedProcessing, kMarkFinished);
  if (!msg->SaveToFile()) {
    LogThread("Could not save " + Describe(*msg) + " before its move", 3, true);
    return false;
  }
  if (!FMoveWithRetries(msg, incoming, processed, kCommitMoveAttempts, false)) return false;
  // A file the move could not rename stays where it is, marked finished.
  if (!FileIsIn(*msg, processed)) return true;
  msg->SetProperty(kPropStartedProcessing, "");
  if (msg->SaveToFile()) msg->ReleaseText();
  return true;
}

void TProcessIncomingThread::FPassOnMarked(const TEmailMsgRef& msg, bool finished) {
  TMessageRepository* repo = Repository();
  TEmailMsgList* processed = repo->ProcessedIncoming();
  // What lies in the file goes on; nothing of this run is added to it.
  msg->DropChanges();
  if (!FMoveWithRetries(msg, repo->UnProcessedIncoming(), processed, kCommitMoveAttempts, false))
    return;
  if (finished && FileIsIn(*msg, processed)) {
    msg->SetProperty(kPropStartedProcessing, "");
    if (!msg->SaveToFile()) return;
  }
  msg->ReleaseText();
}

void TProcessIncomingThread::FExceptionPath(const TEmailMsgRef& msg, const std::string& what) {
  LogThread("Processing " + Describe(*msg) + " raised: " + what + "; it goes on unanalysed", 3,
            true);
  if (FObliterated) return;
  TMessageRepository* repo = Repository();
  TEmailMsgList* incoming = repo->UnProcessedIncoming();
  TEmailMsgList* own = repo->OwnQueueOf(*msg);
  if (own == repo->Trash()) {
    msg->Obliterate(msg->DeleteCode() != 0, msg->DeleteReason());
    return;
  }
  // The message goes on as it arrived; a held one keeps its hold.
  if (own == incoming) msg->DropChanges();
  msg->SetProperty(kPropStartedProcessing, "");
  msg->SetProperty(kPropExceptedProcessing, "1");
  const bool saved = msg->SaveToFile();
  if (own != incoming) {
    if (saved) msg->ReleaseText();
    return;
  }
  if (!saved) {
    // Unsaved, the mark would not travel with the file: it stays here and
    // the next run meets it as it arrived.
    msg->DropChanges();
    return;
  }
  if (FMoveWithRetries(msg, incoming, repo->ProcessedIncoming(), kExceptionMoveAttempts, true))
    msg->ReleaseText();
}

bool TProcessIncomingThread::FIsDuplicate(const TEmailMsgRef& msg) {
  const std::string uidl = msg->GetUidl();
  const std::string account = msg->GetInfoValue(TEmailInfoKey::RemoteAccountId);
  const std::vector<TEmailMsgRef> processed = Repository()->ProcessedIncoming()->Snapshot();
  for (auto it = processed.rbegin(); it != processed.rend(); ++it) {
    TEmailMsg& other = **it;
    if (&other == msg.get() || other.IsLocked()) continue;
    const bool wasLoaded = other.IsLoaded();
    const std::string otherUidl = other.GetUidl();
    const std::string otherAccount = other.GetInfoValue(TEmailInfoKey::RemoteAccountId);
    if (!wasLoaded) other.ReleaseText();
    if (otherUidl == uidl && otherAccount == account) return true;
    if (FStopCheck()) return false;
  }
  return false;
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
      TRun run(none, msg, FClaimOwner.Token());
      try {
        DropAbandonedChanges(*msg);
        // A marked message goes on as it is: its mark is what its run reads.
        if (!msg->GetProperty(kPropStartedProcessing).empty() ||
            !msg->GetProperty(kPropExceptedProcessing).empty())
          continue;
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
      } catch (const EThreadAbandoned&) {
        throw;
      } catch (const std::exception& error) {
        LogThread("Pre-processing " + Describe(*msg) + " raised: " + error.what(), 5, true);
      }
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
// Split messages

bool TProcessIncomingThread::FHandlePartialMessage(const TEmailMsgRef& msg) {
  std::string type;
  std::string id;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailHeader* header = msg->GetHeader();
    if (!header->GetValueUpToSemicolon("Content-Type", type) ||
        !SameText1252(type, "message/partial"))
      return false;
    if (!header->GetDecodedParam("Content-Type", "id", id)) return false;
  }
  const std::string folder = GetPartialsDir(kSingleUserName);
  if (!StorePartialMessage(folder, *msg)) return false;
  TStringList lines;
  if (ReassemblePartialMessage(folder, id, lines)) {
    // The joined message first lies whole beside the pieces under a name of
    // its own; only then do the piece message and the pieces go, and the
    // joined file moves into the queue last. A kill in between leaves the
    // joined file, which the next start moves in.
    TEmailMsgRef joined = TEmailMsg::Create();
    joined->SetRawMail(lines);
    joined->SetInfoValue(TEmailInfoKey::MailBox, msg->GetInfoValue(TEmailInfoKey::MailBox));
    joined->SetInfoValue(TEmailInfoKey::SourceIP, msg->GetInfoValue(TEmailInfoKey::SourceIP));
    TStringList raw;
    joined->GetRawText(raw, true);
    const std::string backup = SaveMessageBackup(Repository(), raw);
    if (!backup.empty())
      joined->SetInfoValue(TEmailInfoKey::BackupFile, backup.substr(backup.rfind('/') + 1));
    joined->SetProperty(kPropPartialId, id);
    const std::string path = folder + "/" + EncodePartialMessageId(id) + kJoinedSuffix;
    const bool written = joined->SaveToNamedFile(path);
    // The object only carried the file's content: it writes nothing more.
    joined->FSetFlaggedDeleted(true);
    joined.reset();
    if (!written) throw std::runtime_error("the joined message could not be written to " + path);
    msg->Obliterate(true, "Partial message");
    FObliterated = true;
    FAdoptJoinedMessage(path);
  } else {
    msg->Obliterate(true, "Partial message");
    FObliterated = true;
  }
  return true;
}

std::string TProcessIncomingThread::FAdoptJoinedMessage(const std::string& joinedPath) {
  TEmailMsgRef joined = TEmailMsg::Create();
  if (!joined->ReadFromFile(joinedPath)) {
    LogThread("The joined message " + joinedPath + " cannot be read", 3, true);
    joined->FSetFlaggedDeleted(true);
    return {};
  }
  const std::string id = joined->GetProperty(kPropPartialId);
  if (!id.empty()) DeletePartialMessage(GetPartialsDir(kSingleUserName), id);
  TEmailMsgList* incoming = Repository()->UnProcessedIncoming();
  incoming->Add(joined);
  if (!FileIsIn(*joined, incoming)) {
    LogThread("The joined message " + joinedPath + " could not join the queue", 3, true);
    incoming->Remove(joined);
    joined->SetSaveChanges(false);
  }
  return id;
}

void TProcessIncomingThread::FObliteratePiecesOf(const std::string& id) {
  for (const TEmailMsgRef& msg : Repository()->UnProcessedIncoming()->Snapshot()) {
    if (msg->IsLocked() || msg->IsLockedByOther()) continue;
    std::string type;
    std::string pieceId;
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      TEmailHeader* header = msg->GetHeader();
      if (!header->GetValueUpToSemicolon("Content-Type", type) ||
          !SameText1252(type, "message/partial") ||
          !header->GetDecodedParam("Content-Type", "id", pieceId) || pieceId != id)
        continue;
    }
    msg->Obliterate(true, "Partial message");
  }
}

void TProcessIncomingThread::FFinishHalfDoneJoins() {
  TStringList files;
  ListFilesInDir(GetPartialsDir(kSingleUserName), std::string("*") + kJoinedSuffix, false, 100000,
                 files);
  for (int i = 0; i < files.Count(); ++i) {
    if (FStopCheck()) return;
    try {
      const std::string id = FAdoptJoinedMessage(files[i]);
      // A piece message the kill caught before it went is already in the
      // joined message: stored again, it would wait for its set forever.
      if (!id.empty()) FObliteratePiecesOf(id);
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& error) {
      LogThread("Finishing the join " + files[i] + " raised: " + error.what(), 3, true);
    }
  }
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
    try {
      if (FSubmitRelayedMessage(*msg, copy))
        LogThread("Msg submitted", 11, false);
      else
        LogThread("Failed to submit Msg", 11, true);
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& error) {
      LogThread(std::string("SubmitMessage excepted with ") + error.what(), 11, true);
    }
  }
  msg->Obliterate(false, "ProcessIncomingThread");
  FObliterated = true;
}

}  // namespace halvorn
