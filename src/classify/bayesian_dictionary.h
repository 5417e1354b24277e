// The learned word statistics of the Bayesian tests: a table of 1 000 000
// saturating 16-bit counters addressed by the 24-bit hash of a word or word
// chain, kept in one file; the word-chain features; and two measures over a
// message's features.
//
// The program keeps two global dictionaries in the user folder, one trained
// with spam ("SpamBayesianDictionary.dat") and one with the user's personal
// mail ("PersBayesianDictionary.dat"); a Bayesian test may name files of its
// own instead. A global dictionary that has no file yet starts as a copy of
// the seed the install folder holds ("SpamBayesianDictionary.bak",
// "PersBayesianDictionary.bak", written there at module start from the seeds
// compiled into the program: bayesian_seeds.h).
//
// The file is the whole table image, 2 001 022 bytes, little-endian:
//    0  header size, 32 bits: 1022        4  version, 32 bits: 1
//    8  chain length, byte: 1 to 5        9  bits per counter, byte: 16
//   10  slot count, 32 bits: 1 000 000   14  token count, 32 bits: additions
//                                            that found their counter at 0
//   18  token sum, 32 bits: all additions
//   22  novelty ring, 1000 bytes: 0 = that addition found an empty counter,
//       1 = a used one, 2 = unset
//   1022 ...  the counters, 2 bytes each: counter s (s = hash mod 1 000 000)
//       at byte 2s, except counters 0 to 510, whose bytes 2s would lie in
//       the header: they are kept in the last 1022 bytes, at 2 000 000 + 2s
//       (BayesCounterOffset). Every byte of the image has one meaning.
// Any other file (another length or header size, other than 16 bits or
// 1 000 000 slots, a chain length outside 1 to 5) is damaged: it is logged
// and kept as "<name>.damaged" (never replacing a file), and a fresh table
// begins (a global one from its seed).
//
// A dictionary is written only when something was added since it was opened
// or last saved, always whole (a temporary file renamed over the old one):
// by SaveChangedBayesianDictionaries (the main window's periodic settings
// save), at module end, and when its last holder lets it go.
//
// Threads. Every operation may be called from any thread. Each dictionary
// has its own lock, "BaysDict" + its file name (a leaf); the counters and
// the ring are read and changed only under it, while the chain length, token
// count and token sum may be read without it. Judging (incoming processing),
// training after a categorisation and the outgoing thread's additions reach
// the same dictionary from different threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"

namespace halvorn {

inline constexpr std::uint32_t kBayesHeaderSize = 1022;
inline constexpr std::uint32_t kBayesVersion = 1;
inline constexpr std::uint8_t kBayesBitsPerCounter = 16;
inline constexpr std::uint32_t kBayesSlotCount = 1000000;
inline constexpr std::uint8_t kBayesMaxChainLength = 5;
inline constexpr std::size_t kBayesRingSize = 1000;
inline constexpr std::size_t kBayesImageSize =
    kBayesHeaderSize + std::size_t{kBayesSlotCount} * (kBayesBitsPerCounter / 8);
inline constexpr std::uint32_t kBayesMaxCount = 65535;
// Ring bytes.
inline constexpr std::uint8_t kBayesRingNew = 0;
inline constexpr std::uint8_t kBayesRingSeen = 1;
inline constexpr std::uint8_t kBayesRingUnset = 2;

// File names of the global dictionaries (user folder) and of their seeds
// (install folder).
inline constexpr const char* kSpamDictionaryFileName = "SpamBayesianDictionary.dat";
inline constexpr const char* kPersDictionaryFileName = "PersBayesianDictionary.dat";
inline constexpr const char* kSpamSeedFileName = "SpamBayesianDictionary.bak";
inline constexpr const char* kPersSeedFileName = "PersBayesianDictionary.bak";

// The byte offset of a slot's counter in the image (see the top of this file).
constexpr std::size_t BayesCounterOffset(std::uint32_t slot) {
  return slot < kBayesHeaderSize / 2 ? kBayesSlotCount * std::size_t{2} + 2 * std::size_t{slot}
                                     : 2 * std::size_t{slot};
}

// Empty when the bytes are a valid table image, else why not ("header size
// 1023", "length 2001021", ...).
std::string BayesianImageProblem(std::string_view image);

// A feature's hash as a feature list carries it (TStringList::Numbers).
inline std::uint32_t FeatureHash(const TStringList& features, int i) {
  return static_cast<std::uint32_t>(features.Numbers(i));
}

class TBayesianDictionary {
 public:
  // Opens the table in the file, or a fresh one (chain length 1, counters 0,
  // ring unset) when there is none or it is damaged (see the top of this
  // file). With a seed path, a missing or damaged file is first replaced by
  // a copy of the seed when that is a valid table (never over a file that
  // appeared meanwhile); a missing seed is no error. Nothing is written
  // otherwise until something is added. Never raises for a bad file; a
  // file that exists but can neither be read nor set aside is logged, and
  // the fresh table then never saves over it.
  //
  // The program shares one object per file: use OpenBayesianDictionary or
  // the globals rather than this constructor.
  explicit TBayesianDictionary(std::string path, std::string seedPath = {});
  // Saves when changed (failures logged).
  ~TBayesianDictionary();
  TBayesianDictionary(const TBayesianDictionary&) = delete;
  TBayesianDictionary& operator=(const TBayesianDictionary&) = delete;

  const std::string& Path() const { return FPath; }

  // Counts one occurrence of the feature: `oldCount` is the counter before;
  // true when it was at 65535 already and stayed there. The token sum grows
  // either way, the token count when the counter was 0, and the ring
  // records whether it was (always into an unset position, else one time in
  // ten, drawn with RandomInt).
  bool AddFeature(std::uint32_t hash, std::int32_t& oldCount);
  // AddFeature for every feature of the list, under one hold of the lock.
  void AddFeatures(const TStringList& features);
  // The counter of the feature's slot, 0 to 65535.
  std::int32_t GetCount(std::uint32_t hash);
  // GetCount of every feature of the list (TStringList::Numbers), under one
  // hold of the lock; replaces `counts`.
  void GetCounts(const TStringList& features, std::vector<std::uint32_t>& counts);
  // The share of ring positions that found an empty counter among the set
  // ones; 0.5 while none is set.
  double NoveltyRate();

  // Read without the lock.
  std::uint8_t ChainLength() const { return FChainLength.load(); }
  std::uint32_t TokenCount() const { return FTokenCount.load(); }
  std::uint32_t TokenSum() const { return FTokenSum.load(); }
  std::uint32_t Version() const { return FVersion; }
  // The chain length the tests build features with (1 to 5); counts as a
  // change. std::invalid_argument outside 1 .. 5.
  void SetChainLength(std::uint8_t length);

  // When something was last added (0 while nothing has been since the open).
  TDateTime ChangeTime();
  // Something was added since the open or the last successful save.
  bool IsChanged();
  // The image as the file holds it, header written in.
  std::string Image();
  // Writes the image to the file when changed: copied under the lock,
  // written outside it, durable when the call returns (a durability batch of
  // its own, committed). Saves of one dictionary never overlap, and a later
  // image never loses to an earlier one. Empty on success or when nothing
  // changed, else the error (the dictionary stays changed).
  std::string Save();
  // Save for several dictionaries with one commit for all of them (distinct
  // dictionaries, any order). Answers one text per dictionary, as Save.
  static std::vector<std::string> SaveTogether(
      const std::vector<TBayesianDictionary*>& dictionaries);
  // The file was damaged when opened (and set aside).
  bool WasDamaged() const { return FWasDamaged; }

 private:
  void Load(const std::string& seedPath);
  bool TakeImage(std::string& bytes);
  void StartFresh();
  std::uint32_t CounterAt(std::uint32_t slot) const;
  bool AddLocked(std::uint32_t hash, std::int32_t& oldCount);
  void WriteHeader(std::string& image) const;

  const std::string FPath;
  mutable TMutexCriticalSection FLock;
  std::mutex FSaveMutex;  // taken before FLock, never after
  std::unique_ptr<std::uint8_t[]> FImage;
  std::uint32_t FVersion = kBayesVersion;
  std::atomic<std::uint8_t> FChainLength{1};
  std::atomic<std::uint32_t> FTokenCount{0};
  std::atomic<std::uint32_t> FTokenSum{0};
  std::uint8_t FRing[kBayesRingSize];
  TDateTime FChangeTime = 0;
  std::uint64_t FChanges = 0;       // additions since the open
  std::uint64_t FSavedChanges = 0;  // FChanges at the last save
  bool FWasDamaged = false;
  bool FNeverSave = false;
};

using TBayesianDictionaryRef = std::shared_ptr<TBayesianDictionary>;

// The process's one dictionary for the file (the path made absolute and
// normal): the open one while anyone holds it, else newly opened. A
// dictionary that is being closed finishes its save first. Any thread.
TBayesianDictionaryRef OpenBayesianDictionary(const std::string& path);

// The global spam / personal dictionary: the user folder's
// "SpamBayesianDictionary.dat" / "PersBayesianDictionary.dat", opened on
// first use with the install folder's ".bak" as its seed. Two threads asking
// at once get one object. Null after the module has ended (callers treat it
// as no dictionary) until it starts again.
TBayesianDictionaryRef SpamBayesianDictionary();
TBayesianDictionaryRef PersonalBayesianDictionary();
// The dictionary is one of the two globals as they are open now; opens
// nothing.
bool IsGlobalBayesianDictionary(const TBayesianDictionary* dictionary);

// Saves every open dictionary that changed; failures are logged. Answers
// how many were written. Any thread (the main window's periodic save calls
// it).
int SaveChangedBayesianDictionaries();

// Module start (classify_module.h): reads the registry array, lets the
// globals open again. Module end: writes the array back (its key created
// when missing), saves and lets go of the spam and then the personal
// global (a holder that keeps one keeps it; it saves itself when it goes),
// and empties the array. Neither raises; failures are logged.
void StartBayesianModule();
void EndBayesianModule();

// The records of "GlobalStandardTestCountArray" (registry section "Test"),
// 16 bytes each, as read at module start; the program only carries them.
std::string GlobalStandardTestCountArray();

// ---------------------------------------------------------------------------
// Features

// The hash of a feature's text.
using TFeatureHash = std::uint32_t (*)(std::string_view text);

// Sets every entry's hash (TStringList::Numbers) to hash(text). With a
// chain length n above 1 and more than n entries, the list is then replaced
// by its word chains: for the first n words every non-empty subset in word
// order (2^n - 1 features, subset p holding word i when bit i of p is set),
// then for each later word every subset of the n - 1 words before it
// followed by that word (2^(n-1) features, the word alone first); texts
// joined by single blanks and trimmed, a chain's hash the XOR of its words'
// hashes. A, B, C, D, E with n = 3 give A, B, A B, C, A C, B C, A B C, D,
// B D, C D, B C D, E, C E, D E, C D E.
void BuildWordChains(TStringList& features, TFeatureHash hash, int chainLength);

// The spam share of a message's rarest features: -1 with fewer than 10
// features. Otherwise each feature's count in A and in B, each list sorted
// ascending, k = count x fraction rounded half to even (at most count - 1),
// Sa and Sb the sums of the k + 1 smallest: when Sa + Sb < 10, -2 if the two
// token sums together pass 1000, else 0.5; else 0 when Sa = 0, 1 when Sb =
// 0, else (Sa / A's token sum) / (Sa / A's token sum + Sb / B's token sum).
// -1 when that cannot be computed (a token sum of 0 beside counts).
long double RareFeatureProbability(const TStringList& features, TBayesianDictionary& a,
                                   TBayesianDictionary& b, double fraction);
// The share of features whose count in the dictionary is 0; -1 for an
// empty list.
long double UnseenFeatureShare(const TStringList& features, TBayesianDictionary& dictionary);

}  // namespace halvorn
