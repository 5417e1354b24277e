// The incoming processing thread: takes every downloaded message from the
// unprocessed-incoming queue through the rules of both phases into the
// processed-incoming queue, the Pendhold queue or the trash.
//
// The main window creates the thread suspended (CreateQuorThread with
// createSuspended), resumes it while unprocessed incoming mail exists,
// pauses it around a change of the user-interface mode and stops it at
// shut-down. The thread suspends itself when nothing waits; mail the
// download stores wakes it at once (the mail store's waker): a wake-up that
// comes before it has suspended itself is kept, never lost, and the status
// tick still resumes it as before. When its main loop fails it posts
// WM_INCOMING_THREAD_FAILED and ends.
//
// Batches. The thread works in batches of up to 50 messages (fewer when the
// queue runs empty), through a batch of the mail store (mail_store.h): each
// message is analysed in memory, its new text and place are staged, and one
// commit writes every text beside the old ones, flushes once, renames them
// into place and flushes again. Until then each message keeps the thread's
// claim (renewed, with its time, at every stop check), so no POP3 session
// lists it and nobody clears the claim as stale. The thread never holds a
// message lock across a move between queues.
//
// What a kill or a power cut at any moment leaves: each message once and
// whole, in unprocessed-incoming as it arrived, or finished where its rules
// send it (processed-incoming, the Pendhold queue), never an unanalysed one
// in processed-incoming. A message that an action sent to the trash is
// obliterated at its run's end. A run that ends any other way with the
// message still in unprocessed-incoming (a stop, a failed move) drops the
// message's changes and reads its file again; an abandoned run leaves the
// message marked so that its changes are never saved and the next run drops
// them. The marks of the Part are kept: "Started ProcessingInc" is set while
// a run works (in memory) and removed before the commit; "Excepted
// Processing" = "1" goes with a message that raised (it goes on
// unanalysed); "DirectToMX" = "1" with a relayed probe. A message met with
// "3" (finished, from a file of an earlier version) or "Excepted
// Processing" goes on as it is, before any rule; one with any other "Started
// ProcessingInc" mark takes the exception path. A split message
// (message/partial) is taken by the store (TMailStore::TakePiece); Recover
// finishes a join a crash left half done.
//
// After its batch commits a message frees its text and parse, and the
// duplicate check reads only the store's index, so memory does not grow with
// the mail processed.
//
// Threads: the stop and pause flags may be set from any thread; everything
// else runs on the thread itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/threads/quor_thread.h"
#include "message/email_msg.h"
#include "message/mail_store.h"
#include "message/processing_options.h"
#include "message/simple_html.h"
#include "processing/notice_links.h"
#include "platform/thread_identity.h"

namespace halvorn {

class TEmailMsgList;
class TFileExtensionList;
class TMessageRepository;

// The processing marks kept as message properties (kPropStartedProcessing,
// kPropExceptedProcessing, their values kMarkPreProcessing ... and
// kPropPartialId) are the message's (email_msg.h). Other properties the
// thread reads or writes:
inline constexpr const char* kPropDirectToMX = "DirectToMX";
inline constexpr const char* kPropUserAuthenticated = "UserAuthenticated";
inline constexpr const char* kPropRcptTo = "RcptTo";

// The log service of the thread, and the text of its claims.
inline constexpr const char* kProcessIncomingName = "ProcessIncoming";
// The most messages one batch takes.
inline constexpr int kProcessingBatchSize = 50;

// The id of the incoming processing thread, stored when it starts; 0 before.
extern std::atomic<platform::ThreadId> ProcessingThreadId;
// The daily limit of relayed probes is RelayedProbeLimit (heartbeat.h).
// The maker's own user-mail domain: mail to it is never relayed.
inline constexpr const char* kMakerUserMailDomain = "users.halvorn.example";
// The name of the over-long "Date" danger entry.
extern const char* const kLongDateScoreName;

class TProcessIncomingThread : public TQuorThread {
 public:
  // Flags clear, priority one step below normal. Make it with
  // CreateQuorThread<TProcessIncomingThread>(true).
  TProcessIncomingThread();

  // The stop request: ends the loop, ends waits between move attempts, and
  // is the abort flag the rules and tests of the current message receive.
  // Safe from any thread; the caller resumes a suspended thread.
  void SetStopRequested(bool stop);
  bool StopRequested() const { return FStop.load(); }
  // The pause request: while set the thread processes nothing and suspends
  // itself. Safe from any thread.
  void SetPauseRequested(bool pause) { FPause.store(pause); }
  bool PauseRequested() const { return FPause.load(); }
  // The file-extension table the attachment analysis reads. Main thread,
  // before the first Resume.
  void SetFileExtensionList(std::shared_ptr<TFileExtensionList> table) {
    FFileExtensions = std::move(table);
  }

  // How long the thread waits between two attempts of a move that failed
  // (1000 ms); tests shorten it. Before the first Resume.
  void SetMoveRetryDelayMs(int ms) { FMoveRetryDelayMs = ms; }

 protected:
  ~TProcessIncomingThread() override;
  void Execute() override;

 private:
  // ---- The pipeline (process_incoming_thread.cpp)

  // One batch: messages until 50 or none is left, then the commit. Answers
  // how many runs it made.
  int FProcessBatch();
  // One message: true when one was found, whatever became of it.
  bool FProcessNextMessage();
  // Steps of one run of the message, from the duplicate check on; the
  // exception path takes over when one raises.
  void FProcessMessage(const TEmailMsgRef& msg);
  // The analysis after the phase-0 rules, its commit and the cleanup.
  void FMainProcessing(const TEmailMsgRef& msg, bool consumed, const TProcessingOptions& options);
  // The message goes on unanalysed (see the top).
  void FExceptionPath(const TEmailMsgRef& msg, const std::string& what);
  // Moves a marked message on as it is.
  void FPassOnMarked(const TEmailMsgRef& msg, bool finished);
  // The finished message goes to processed-incoming through the batch
  // (TMailStore::CommitProcessed). True when it left unprocessed-incoming.
  bool FCommit(const TEmailMsgRef& msg);
  // The thread's stop check: renews the current message's claim and
  // answers the stop request, the terminate flag or the global shut-down.
  bool FStopCheck();
  // Waits the retry delay unless a stop comes first (false then).
  bool FWaitUnlessStopped(int ms);
  // Moves the message with up to `attempts` tries; errors raise unless
  // `swallow`. True when moved.
  bool FMoveWithRetries(const TEmailMsgRef& msg, TEmailMsgList* from, TEmailMsgList* to,
                        int attempts, bool swallow);
  // The message's file lies in the queue's folder.
  static bool FileIsIn(TEmailMsg& msg, TEmailMsgList* queue);
  // The processed-incoming queue holds a message with the same UIDL from
  // the same source account (from the store's index).
  bool FIsDuplicate(const TEmailMsgRef& msg);
  // Pre-processing of the next messages of every unprocessed-incoming queue.
  void FPreProcessMessages();
  // Removes the notices of an earlier analysis, noting it in GeneralInfo.
  static void FRemoveOlderNotice(TEmailMsg& msg);
  // A Date header longer than 60 characters adds 90 danger points.
  static void FScoreLongDate(TEmailMsg& msg);
  // Deletes the report files nobody used for DeleteReportAfter days.
  void FDeleteOldReports();

  // ---- Mail of the selective open relay
  void FHandleRelayedMessage(const TEmailMsgRef& msg);
  bool FShouldRelayProbe(TEmailMsg& msg);

  // ---- Later steps (process_incoming_seams.cpp): the notice's links and
  // lines, the black and white lists, the attachment analysis and the
  // central service's information. Each adds nothing until its own unit
  // moves it out of there.
  void FAskExternalAddress();
  void FStartQchMatchQuery(TEmailMsg& msg);
  void FProduceQchInfo(TEmailMsg& msg);
  void FSubmitTests(TEmailMsg& msg);
  bool FSubmitRelayedMessage(TEmailMsg& msg, const std::string& copyPath);
  void FCheckAttachedFiles(TEmailMsg& msg);
  void FAddReportLink(TEmailMsg& msg);
  void FAddBackupLink(TEmailMsg& msg);
  void FAddSenderLinks(TEmailMsg& msg);
  void FAddSubjectLinks(TEmailMsg& msg);
  void FAddCategorizeLinks(TEmailMsg& msg);
  void FAddDangerLine(TEmailMsg& msg);
  void FTestMessageSteps(TEmailMsg& msg);
  void FReorderIncomming();
  void FCheckBlackWhite();
  // Checks one claimed message and keeps what the check wrote for its runs.
  void FCheckOne(const TEmailMsgRef& msg, const TQueueFingerprints* queueMail);
  // After a run has cleared GeneralInfo: the check's main reason (and its
  // extra fragment, when a dropped run lost it) back on the message; an
  // unchecked message is checked now.
  void FRestoreCheckNotes(const TEmailMsgRef& msg);
  void FPerformWhitelistedOptions(TEmailMsg& msg);
  void FPerformSpecialBlackWhiteProcessing(TEmailMsg& msg);

  std::atomic<bool> FStop{false};
  std::atomic<bool> FPause{false};
  int FMoveRetryDelayMs = 1000;
  std::shared_ptr<TFileExtensionList> FFileExtensions;
  // The claim owner of the thread's runs; its claims count as free once the
  // thread object is gone.
  TScopedClaimOwner FClaimOwner;
  // The message of the current run; null between runs. Thread only.
  TEmailMsgRef FCurrent;
  // The batch being filled; null between batches. Thread only.
  TMailStore::TBatch* FBatch = nullptr;
  // The message of the current run went to the trash and was obliterated.
  bool FObliterated = false;
  // The DCC FUZ2 checksums (hexadecimal) of the relayed messages saved,
  // sorted.
  std::vector<std::string> FRelayedChecksums;
  // The categorisation link of the current message's preset category; empty
  // when it has none.
  std::string FPresetCategoryLink;
  // What the black and white check wrote that a run would clear, by message.
  struct TCheckNotes {
    std::weak_ptr<TEmailMsg> Msg;
    TSimpleHtml Main;
    TSimpleHtml Extra;
  };
  std::map<const TEmailMsg*, TCheckNotes> FCheckNotes;
};

}  // namespace halvorn
