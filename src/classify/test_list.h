// TTestList: the configured tests of the program, in order, and the switches
// of their training.
//
// Rules and combining tests find a test by name (FindTestByName, ignoring
// case) at every use. The list holds its tests by shared_ptr: a test the main
// thread removes lives on while the processing thread still uses it.
//
// Settings. The rules file's section "TestList" names one section per test
// ("Test0" = "Test-" + name, "Test1", ... without gaps, in list order), and
// each test writes its own section (TTest::SaveToIni).
//
// Threads. Every operation may be called from any thread. The list's lock
// "TestList_CS" guards only its membership and is held just long enough to
// copy, search or change the vector (a search takes each test's own lock
// inside it: the list's lock first, never the other way round); every walk
// that calls into the tests (renames, saves, result codes, training) goes
// over a snapshot with no list lock held. TrainLock
// ("TestList TrainQuorCriticalSection") serialises training with the
// application of the user's categorisations; both only ever try it, and only
// the list's destruction waits for it.
//
// User categorisations. When the user says what a message really was, the
// category is queued (QueueUserCategorisation) and applied once TrainLock is
// free: the message's result codes ("StatData" of its side record) reach
// every test's UserCategorised once, and spam and personal categorisations
// are reported to the central service as its stop codes ask (over UDP, or
// over TCP through the list's own socket). A caller never waits for training;
// a categorisation that finds the lock busy waits in the queue for the next
// call that gets it, or for the list's destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classify/test_base.h"
#include "foundation/text/trite_array.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"

namespace halvorn {

class TQCHClientSocket;
class TQuorIniFile;

// The name of the socket that carries the categorisation reports.
inline constexpr const char* kCategorisationSocketName = "FOnCatQchClientSocket";

// One pending categorisation.
struct TPendingCategorisationRec {
  std::int32_t MsgKey = 0;     // the message's side-record Id
  std::uint8_t Category = 0;   // a TMsgCategory value; any value is taken
  TDateTime Time = 0;          // when the entry was last updated; kept, never consulted
  std::uint64_t Revision = 0;  // changes at every update: an entry updated while
                               // it was being applied stays pending
};

// The rules-file section that names the tests, unless the list was given
// another.
inline constexpr const char* kTestListSection = "TestList";

// What a test list's load makes of a class name that is missing from a
// test's section: a name no class has.
inline constexpr const char* kMissingTestClassName = "TTest forgot to write out it's Class Name";

// Training switches, read and written from any thread. The three stored ones
// are read from the registry at module start (classify_module.h); the main
// window's debug menu toggles all four and writes the stored ones back
// (WriteTestSwitches).
// Network-backed tests add categorised messages to their training sets.
extern std::atomic<bool> UpdateNNTestSets;
// TTestList::Train trains when the incoming thread is idle.
extern std::atomic<bool> TrainNeuralNets;
// Training runs continuously in the incoming thread's idle loop; not stored.
extern std::atomic<bool> BackgroundTrainNNs;
// Shown and toggled by the debug menu; nothing else reads it.
extern std::atomic<bool> DetailedBayesianReporting;
// Unstored switches of the network-backed tests (nn_test.h): train on the
// examples the network gets most wrong (off: on random ones); gate that
// training by the error counts; train only on even-numbered stored vectors.
extern std::atomic<bool> TrainOnError;
extern std::atomic<bool> StopTrainNNOnNoErr;
extern std::atomic<bool> SeperateTrainAndTestSets;

// Reads the three stored switches from the registry ("UpdateNNTestSets" and
// "TrainNeuralNets" of the section "NeuralNets", "DetailedBayesianReporting"
// of "Report"); a value that is missing or cannot be read leaves its switch
// as it is. Writes them back; false when a value could not be written.
void ReadTestSwitches();
bool WriteTestSwitches();

class TTestList {
 public:
  TTestList();
  // Takes TrainLock, waiting (its time-out bounds the wait), applies the
  // pending categorisations first to last (one that fails is logged and the
  // rest go on), frees every test and the service socket, and gives the lock
  // back before it goes. Never raises: a lock that cannot be had is logged,
  // the pending entries are dropped with a log line, and the list goes all
  // the same.
  ~TTestList();
  TTestList(const TTestList&) = delete;
  TTestList& operator=(const TTestList&) = delete;

  int Count();
  // The test at the index; raises std::out_of_range outside 0 .. Count()-1.
  std::shared_ptr<TTest> Items(int index);
  // Every test, in order, at one moment.
  std::vector<std::shared_ptr<TTest>> Snapshot();
  // Appends the test (nothing for nullptr or a test already in the list).
  void AddTest(std::shared_ptr<TTest> test);
  // The test's position; -1 when it is not in the list.
  int IndexOf(const TTest* test);
  // Takes the test out of the list and hands it back (nullptr when it was
  // not there); it lives while anyone holds it.
  std::shared_ptr<TTest> RemoveTest(const TTest* test);
  // The first test whose name equals the name ignoring case; nullptr for an
  // empty name or no match.
  std::shared_ptr<TTest> FindTestByName(std::string_view name);
  // Two tests whose names are equal ignoring case (they would share one
  // section of the rules file, and FindTestByName finds only the first).
  bool HasDuplicateNames();

  // Hands (new name, old name) to TestRenamed / PhraseListRenamed of every
  // test, in order. PhraseListRenamed is the phrase lists' rename event.
  void TestRenamed(const std::string& newName, const std::string& oldName);
  void PhraseListRenamed(const std::string& newName, const std::string& oldName);

  // The section that names the tests; empty until the first save or load,
  // which make it "TestList".
  std::string ListSectionName();
  // Writes "Test" + n for every test whose owner equals the owner group
  // exactly (n counting the written tests from 0), then each such test's
  // section. The list section is not erased first: the caller saves into a
  // settings object it has emptied. The settings object belongs to the
  // caller.
  void SaveToIni(TQuorIniFile& ini, const std::string& owner);
  // Reads "Test0", "Test1", ... (trimmed) until the first missing or empty
  // value; for each, the class named by "ClassName" of the section the value
  // names is made (CreateTestFromClassName); a test made takes its name from
  // the section name, the owner group, reads its section and is appended. A
  // class name that makes nothing skips the entry, and so does a name (ignoring
  // case) that a test of the list already has; the load goes on. Tests already
  // in the list stay.
  void LoadFromIni(TQuorIniFile& ini, const std::string& owner);

  // The comma text of UniqueId=result code for every test whose code for
  // the message key is not empty, in list order (a later equal UniqueId
  // replaces an earlier). Processing thread.
  std::string CollectResultCodes(std::int32_t msgKey);

  // When TrainNeuralNets or BackgroundTrainNNs is on and TrainLock is free at
  // once: Train of every test in order, stopping when the heartbeat says the
  // thread must stop. An error of one test's training is logged and the next
  // test trains (not EThreadAbandoned, which unwinds with the lock given
  // back). Processing thread, or any one thread that trains.
  void Train();

  // Serialises training with the application of the user's categorisations;
  // take it only with TryEnter.
  TMutexCriticalSection& TrainLock() { return FTrainLock; }

  // Records the user's category for the message (its side-record Id): an
  // entry already pending for the key takes the new category, otherwise a
  // new entry is appended. Then, when TrainLock can be had at once, applies
  // the entries pending at that moment, the last first; entries queued
  // meanwhile wait for the next call. When TrainLock is busy it returns at
  // once. An error while applying (a lock time-out of the side records)
  // leaves the entry that failed and those not reached pending, gives the
  // lock back and reaches the caller; EThreadAbandoned unwinds the same way.
  // Main thread and processing thread; any thread.
  void QueueUserCategorisation(std::int32_t msgKey, std::uint8_t category);
  // The pending entries, copied, in the order of their first arrival.
  std::vector<TPendingCategorisationRec> PendingCategorisations();

 private:
  // A test of the list has the name, ignoring case (an empty name too).
  bool HasTestNamed(std::string_view name);

  // Applies one categorisation: the side record's reports to the central
  // service, its "StatData" read and cleared (the record saved), then
  // UserCategorised of every test with its own code. A message without a
  // side record does nothing. Under TrainLock.
  void ApplyUserCategorisation(std::int32_t msgKey, std::uint8_t category);
  // The reports the stop codes ask for, over UDP or TCP. Under TrainLock.
  void ReportCategorisation(std::uint8_t category, const TTriteArray& trites,
                            const std::string& statData);
  // The walk of QueueUserCategorisation; TrainLock held by the caller. What
  // it writes is made durable by one commit at its end.
  void ApplyPendingCategorisations();
  void ApplyPendingWalk();
  // The destructor's walk: every entry, first to last; errors logged; one
  // commit at its end.
  void ApplyPendingAtEnd() noexcept;

  TMutexCriticalSection FLock{"TestList_CS"};
  std::vector<std::shared_ptr<TTest>> FTests;
  std::string FListSectionName;
  TMutexCriticalSection FTrainLock{"TestList TrainQuorCriticalSection"};
  // The pending categorisations. Their lock is a leaf, held only to find,
  // change, append or take entries.
  TMutexCriticalSection FPendingLock{"TestList PendingCategorisations_CS"};
  std::vector<TPendingCategorisationRec> FPending;
  std::uint64_t FNextRevision = 0;
  // Under TrainLock: a walk is under way (a categorisation queued from
  // inside one, on the walking thread, only waits in the queue).
  bool FApplying = false;
  // The socket of the TCP reports: made on first need, used only under
  // TrainLock, freed with the list.
  std::unique_ptr<TQCHClientSocket> FServiceSocket;
};

// The program's one test list; nullptr before the classification module
// starts and after it ends (classify_module.h). Safe from any thread:
// callers keep the pointer they got for as long as they use the list.
std::shared_ptr<TTestList> GlobalTestList();
// Replaces the global list (the module start and end, and tests). The old
// list goes when its last holder lets go.
void SetGlobalTestList(std::shared_ptr<TTestList> list);

// The test of the global list with that name (FindTestByName); nullptr when
// there is none, or no global list.
inline std::shared_ptr<TTest> FindGlobalTest(std::string_view name) {
  const std::shared_ptr<TTestList> list = GlobalTestList();
  return list ? list->FindTestByName(name) : nullptr;
}

}  // namespace halvorn
