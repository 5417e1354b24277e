// The user's categorisations: the queue of TTestList, the application of one
// categorisation to the tests and its reports to the central service.
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "classify/test_list.h"
#include "foundation/files/durability_batch.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/abandonment.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_client_socket.h"
#include "lists/qch/qch_udp.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/msg_category.h"

namespace halvorn {

namespace {

// One report the stop codes may ask for on a categorisation: the bit that
// asks for it, whether it carries the standard-test trites (else the result
// codes, "StatData"), and its datagram kind when it goes over UDP.
struct TCategorisationReport {
  std::uint8_t Category;
  int ReportBit;
  bool Trites;
  TQchUdpKind UdpKind;
};

// In the order they are sent.
constexpr TCategorisationReport kReports[] = {
    {Mc_Personal, TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPers, true, kQchUdpTestsCatPers},
    {Mc_Personal, TStopCodesQchUdpMsg::kRepQuorTestStatDataOnCatPers, false,
     kQchUdpStatDataCatPers},
    {Mc_CommercialSpam, TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpam, true,
     kQchUdpTestsCatSpam},
    {Mc_CommercialSpam, TStopCodesQchUdpMsg::kRepQuorTestStatDataOnCatSpam, false,
     kQchUdpStatDataCatSpam},
};

// The occasion of a TCP test report on a personal and on a spam
// categorisation.
constexpr std::uint8_t kOccasionPersonal = 1;
constexpr std::uint8_t kOccasionSpam = 2;

// Clears a flag when the scope ends.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : FFlag(flag) { FFlag = true; }
  ~TFlagScope() { FFlag = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
};

// Runs `work` with a durability batch of its own current and commits it
// afterwards, also when `work` raises: what the tests learn and write in
// place (training vectors, the messages' records) becomes durable with one
// commit for the whole walk.
template <class Work>
void InOneCommit(Work&& work) {
  TDurabilityBatch batch;
  class TCommitAtEnd {
   public:
    explicit TCommitAtEnd(TDurabilityBatch& batch) : FBatch(batch) {}
    ~TCommitAtEnd() {
      try {
        const std::string error = FBatch.Commit();
        if (!error.empty()) Log("Tests", "What a categorisation taught was not saved: " + error, 3, true);
      } catch (const std::exception& error) {
        Log("Tests", std::string("What a categorisation taught was not saved: ") + error.what(), 3,
            true);
      }
    }
    TCommitAtEnd(const TCommitAtEnd&) = delete;
    TCommitAtEnd& operator=(const TCommitAtEnd&) = delete;

   private:
    TDurabilityBatch& FBatch;
  } commit(batch);
  TDurabilityScope scope(&batch);
  work();
}

}  // namespace

std::vector<TPendingCategorisationRec> TTestList::PendingCategorisations() {
  TCriticalSectionGuard guard(FPendingLock);
  return FPending;
}

void TTestList::QueueUserCategorisation(std::int32_t msgKey, std::uint8_t category) {
  const TDateTime now = Now();
  {
    TCriticalSectionGuard guard(FPendingLock);
    bool found = false;
    for (TPendingCategorisationRec& entry : FPending) {
      if (entry.MsgKey != msgKey) continue;
      entry.Category = category;
      entry.Time = now;
      entry.Revision = ++FNextRevision;
      found = true;
      break;
    }
    if (!found) FPending.push_back({msgKey, category, now, ++FNextRevision});
  }
  // An updated entry goes on like a new one: the user's last word is applied
  // now when it can be, not left for some other message's categorisation.
  if (!FTrainLock.TryEnter()) return;
  TCriticalSectionGuard guard(FTrainLock, std::adopt_lock);
  ApplyPendingCategorisations();
}

void TTestList::ApplyPendingCategorisations() {
  if (FApplying) return;
  TFlagScope applying(FApplying);
  InOneCommit([this] { ApplyPendingWalk(); });
}

void TTestList::ApplyPendingWalk() {
  // Only this walk removes entries (TrainLock keeps walks apart); other
  // threads meanwhile update entries in place or append, so the entries
  // below the walk's position stay where they are.
  std::size_t index;
  {
    TCriticalSectionGuard guard(FPendingLock);
    index = FPending.size();
  }
  while (index > 0) {
    --index;
    TPendingCategorisationRec entry;
    {
      TCriticalSectionGuard guard(FPendingLock);
      entry = FPending[index];
    }
    ApplyUserCategorisation(entry.MsgKey, entry.Category);
    TCriticalSectionGuard guard(FPendingLock);
    // An entry the user changed while it was being applied stays, with the
    // new category, for the next call.
    if (FPending[index].Revision == entry.Revision)
      FPending.erase(FPending.begin() + static_cast<std::ptrdiff_t>(index));
  }
}

void TTestList::ApplyPendingAtEnd() noexcept {
  std::vector<TPendingCategorisationRec> pending;
  try {
    TCriticalSectionGuard guard(FPendingLock);
    pending.swap(FPending);
  } catch (const std::exception& error) {
    Log("Tests", std::string("The pending user categorisations are dropped: ") + error.what(), 3,
        true);
    return;
  }
  InOneCommit([&] {
    for (const TPendingCategorisationRec& entry : pending) {
      try {
        ApplyUserCategorisation(entry.MsgKey, entry.Category);
      } catch (const std::exception& error) {
        Log("Tests",
            "The categorisation of message " + std::to_string(entry.MsgKey) + " as " +
                MsgCategoryToName(entry.Category) + " was not applied: " + error.what(),
            3, true);
      }
    }
  });
}

void TTestList::ApplyUserCategorisation(std::int32_t msgKey, std::uint8_t category) {
  TStringList codes;
  {
    TBorrowedEmailInfo record;
    if (!AcquireEmailInfo(msgKey, record.Ref())) return;
    TEmailInfo& info = *record.Ref();
    const std::string statData = info.Value(TEmailInfoKey::StatData);
    ReportCategorisation(category, info.StandardTests(), statData);
    codes.SetCommaText(statData);
    // Cleared before the record goes (its release saves it): the codes reach
    // the tests and the service once.
    info.SetValue(TEmailInfoKey::StatData, "");
  }
  for (const auto& test : Snapshot()) test->UserCategorised(category, codes.Values(test->UniqueId()));
}

void TTestList::ReportCategorisation(std::uint8_t category, const TTriteArray& trites,
                                     const std::string& statData) {
  if (category != Mc_Personal && category != Mc_CommercialSpam) return;
  const std::shared_ptr<const TStopCodesQchUdpMsg> stopCodes = QchStopCodes();
  const bool personal = category == Mc_Personal;
  const bool overUdp = stopCodes->GetBit(personal ? TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPersUDP
                                                  : TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpamUDP);
  for (const TCategorisationReport& report : kReports) {
    if (report.Category != category || !stopCodes->GetBit(report.ReportBit)) continue;
    if (overUdp) {
      QchUdpSend(MakeQchUdpReport(
          report.UdpKind, report.Trites ? TriteArrayToCompressedText(trites) : statData));
      continue;
    }
    if (!FServiceSocket) {
      FServiceSocket = std::make_unique<TQCHClientSocket>(kCategorisationSocketName);
      FServiceSocket->UserName = kSingleUserName;
    }
    // No reply is awaited on a categorisation's report: the probability
    // only fills the request.
    TCategoryProbability probability;
    FServiceSocket->SubmitTests(report.Trites ? trites : TTriteArray(),
                                report.Trites ? std::string() : statData,
                                personal ? kOccasionPersonal : kOccasionSpam, probability);
  }
}

}  // namespace halvorn
