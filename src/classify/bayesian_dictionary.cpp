#include "classify/bayesian_dictionary.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/registry_settings.h"
#include "foundation/files/unique_paths.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/time/clock.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "Bayesian";
constexpr const char* kCountArraySection = "Test";
constexpr const char* kCountArrayValue = "GlobalStandardTestCountArray";
constexpr std::size_t kCountArrayRecord = 16;

// Header field offsets.
constexpr std::size_t kAtHeaderSize = 0;
constexpr std::size_t kAtVersion = 4;
constexpr std::size_t kAtChainLength = 8;
constexpr std::size_t kAtBits = 9;
constexpr std::size_t kAtSlotCount = 10;
constexpr std::size_t kAtTokenCount = 14;
constexpr std::size_t kAtTokenSum = 18;
constexpr std::size_t kAtRing = 22;
static_assert(kAtRing + kBayesRingSize == kBayesHeaderSize);
static_assert(BayesCounterOffset(kBayesHeaderSize / 2 - 1) + 2 == kBayesImageSize);
static_assert(BayesCounterOffset(kBayesHeaderSize / 2) == kBayesHeaderSize);
static_assert(BayesCounterOffset(kBayesSlotCount - 1) + 2 == kBayesSlotCount * std::size_t{2});

std::uint32_t Read32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

void Write32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// The registry of open dictionaries: one object per file, and the globals.
struct TRegistry {
  std::mutex Mutex;
  // Signalled when a closing dictionary has saved and left Open.
  std::condition_variable Closed;
  std::map<std::string, std::weak_ptr<TBayesianDictionary>> Open;
  TBayesianDictionaryRef Spam;
  TBayesianDictionaryRef Personal;
  bool Ended = false;
  std::string CountArray;
};

// Never destroyed: dictionaries may close during the static destructors.
TRegistry& Registry() {
  static auto* registry = new TRegistry;
  return *registry;
}

std::string RegistryKey(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) absolute = path;
  return absolute.lexically_normal().string();
}

// Deletes a dictionary when its last holder lets go (the destructor saves),
// then removes it from Open. Runs without the registry's mutex held: every
// holder lets go of a reference outside it.
struct TCloser {
  std::string Key;
  void operator()(TBayesianDictionary* dictionary) const noexcept {
    delete dictionary;
    TRegistry& registry = Registry();
    {
      std::lock_guard<std::mutex> lock(registry.Mutex);
      const auto it = registry.Open.find(Key);
      if (it != registry.Open.end() && it->second.expired()) registry.Open.erase(it);
    }
    registry.Closed.notify_all();
  }
};

TBayesianDictionaryRef OpenLocked(const std::string& key, const std::string& seedPath,
                                  std::unique_lock<std::mutex>& lock) {
  TRegistry& registry = Registry();
  while (true) {
    const auto it = registry.Open.find(key);
    if (it == registry.Open.end()) break;
    if (TBayesianDictionaryRef open = it->second.lock()) return open;
    // It is closing: its save must land before the file is read again.
    registry.Closed.wait(lock);
  }
  TBayesianDictionaryRef dictionary(new TBayesianDictionary(key, seedPath), TCloser{key});
  registry.Open[key] = dictionary;
  return dictionary;
}

TBayesianDictionaryRef Global(bool spam) {
  TRegistry& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.Mutex);
  if (registry.Ended) return nullptr;
  TBayesianDictionaryRef& global = spam ? registry.Spam : registry.Personal;
  if (global) return global;
  const std::string path =
      GetUserDir(kSingleUserName) + "/" + (spam ? kSpamDictionaryFileName : kPersDictionaryFileName);
  const std::string seed = GetInstallDir() + "/" + (spam ? kSpamSeedFileName : kPersSeedFileName);
  global = OpenLocked(RegistryKey(path), seed, lock);
  return global;
}

}  // namespace

std::string BayesianImageProblem(std::string_view image) {
  if (image.size() < kBayesHeaderSize) return "length " + std::to_string(image.size());
  if (Read32(image, kAtHeaderSize) != kBayesHeaderSize)
    return "header size " + std::to_string(Read32(image, kAtHeaderSize));
  const auto bits = static_cast<unsigned char>(image[kAtBits]);
  if (bits != kBayesBitsPerCounter) return std::to_string(bits) + " bits per counter";
  if (Read32(image, kAtSlotCount) != kBayesSlotCount)
    return std::to_string(Read32(image, kAtSlotCount)) + " slots";
  const auto chain = static_cast<unsigned char>(image[kAtChainLength]);
  if (chain < 1 || chain > kBayesMaxChainLength) return "chain length " + std::to_string(chain);
  if (image.size() != kBayesImageSize) return "length " + std::to_string(image.size());
  return {};
}

// ---------------------------------------------------------------------------
// TBayesianDictionary

TBayesianDictionary::TBayesianDictionary(std::string path, std::string seedPath)
    : FPath(std::move(path)),
      FLock("BaysDict" + FileNameOf(FPath)),
      FImage(new std::uint8_t[kBayesImageSize]) {
  StartFresh();
  Load(seedPath);
}

TBayesianDictionary::~TBayesianDictionary() {
  try {
    const std::string error = Save();
    if (!error.empty()) Log(kLogService, error, 8, true);
  } catch (const std::exception& error) {
    Log(kLogService, "The dictionary " + FPath + " was not saved: " + error.what(), 8, true);
  } catch (...) {
    Log(kLogService, "The dictionary " + FPath + " was not saved", 8, true);
  }
}

void TBayesianDictionary::StartFresh() {
  std::memset(FImage.get(), 0, kBayesImageSize);
  FVersion = kBayesVersion;
  FChainLength.store(1);
  FTokenCount.store(0);
  FTokenSum.store(0);
  std::memset(FRing, kBayesRingUnset, kBayesRingSize);
}

bool TBayesianDictionary::TakeImage(std::string& bytes) {
  if (!BayesianImageProblem(bytes).empty()) return false;
  std::memcpy(FImage.get(), bytes.data(), kBayesImageSize);
  FVersion = Read32(bytes, kAtVersion);
  FChainLength.store(static_cast<std::uint8_t>(bytes[kAtChainLength]));
  FTokenCount.store(Read32(bytes, kAtTokenCount));
  FTokenSum.store(Read32(bytes, kAtTokenSum));
  std::memcpy(FRing, bytes.data() + kAtRing, kBayesRingSize);
  // The header bytes of the image hold no counter; keep them zero, as in a
  // fresh table, so that an image always starts the same way in memory.
  std::memset(FImage.get(), 0, kBayesHeaderSize);
  return true;
}

void TBayesianDictionary::Load(const std::string& seedPath) {
  if (GetFileStamp(FPath).Exists) {
    std::string bytes;
    std::string problem = ReadFileBytes(FPath, kBayesImageSize, bytes, "dictionary file");
    if (problem.empty()) problem = BayesianImageProblem(bytes);
    if (problem.empty() && TakeImage(bytes)) return;
    FWasDamaged = true;
    std::string target;
    const int error = MoveAsideNoReplace(FPath, ".damaged", target);
    if (error != 0) {
      FNeverSave = true;
      Log(kLogService,
          "The dictionary " + FPath + " is unusable (" + problem + ") and cannot be set aside (" +
              std::strerror(error) + "): a fresh table is used and never saved over it",
          8, true);
      return;
    }
    Log(kLogService, "The dictionary " + FPath + " is damaged (" + problem + "); it is kept as " +
                         target + " and a fresh table begins",
        8, true);
  }
  if (seedPath.empty()) return;
  std::string seed;
  if (!ReadFileBytes(seedPath, kBayesImageSize, seed, "dictionary file").empty()) {
    if (GetFileStamp(seedPath).Exists)
      Log(kLogService, "The seed " + seedPath + " cannot be read: a fresh table begins", 8, true);
    return;
  }
  const std::string problem = BayesianImageProblem(seed);
  if (!problem.empty()) {
    Log(kLogService, "The seed " + seedPath + " is damaged (" + problem + "): a fresh table begins",
        8, true);
    return;
  }
  std::string written;
  const std::string error = WriteNewFileAtomically(FPath, seed, nullptr, written);
  if (!error.empty()) Log(kLogService, "The seed was not copied: " + error, 8, true);
  TakeImage(seed);
}

std::uint32_t TBayesianDictionary::CounterAt(std::uint32_t slot) const {
  const std::uint8_t* counter = FImage.get() + BayesCounterOffset(slot);
  return static_cast<std::uint32_t>(counter[0]) | static_cast<std::uint32_t>(counter[1]) << 8;
}

bool TBayesianDictionary::AddLocked(std::uint32_t hash, std::int32_t& oldCount) {
  const std::uint32_t slot = hash % kBayesSlotCount;
  const std::uint32_t old = CounterAt(slot);
  if (old < kBayesMaxCount) {
    std::uint8_t* counter = FImage.get() + BayesCounterOffset(slot);
    counter[0] = static_cast<std::uint8_t>((old + 1) & 0xFF);
    counter[1] = static_cast<std::uint8_t>((old + 1) >> 8);
  }
  const std::uint32_t sum = FTokenSum.load() + 1;  // wraps as the file's 32 bits do
  FTokenSum.store(sum);
  if (old == 0) FTokenCount.store(FTokenCount.load() + 1);
  std::uint8_t& ring = FRing[sum % kBayesRingSize];
  if (ring == kBayesRingUnset || RandomInt(10) == 5) ring = old == 0 ? kBayesRingNew : kBayesRingSeen;
  ++FChanges;
  oldCount = static_cast<std::int32_t>(old);
  return old == kBayesMaxCount;
}

bool TBayesianDictionary::AddFeature(std::uint32_t hash, std::int32_t& oldCount) {
  const TDateTime now = Now();
  TCriticalSectionGuard guard(FLock);
  FChangeTime = now;
  return AddLocked(hash, oldCount);
}

void TBayesianDictionary::AddFeatures(const TStringList& features) {
  if (features.Empty()) return;
  const TDateTime now = Now();
  TCriticalSectionGuard guard(FLock);
  FChangeTime = now;
  std::int32_t oldCount = 0;
  for (int i = 0; i < features.Count(); ++i) AddLocked(FeatureHash(features, i), oldCount);
}

std::int32_t TBayesianDictionary::GetCount(std::uint32_t hash) {
  TCriticalSectionGuard guard(FLock);
  return static_cast<std::int32_t>(CounterAt(hash % kBayesSlotCount));
}

void TBayesianDictionary::GetCounts(const TStringList& features, std::vector<std::uint32_t>& counts) {
  counts.resize(static_cast<std::size_t>(features.Count()));
  TCriticalSectionGuard guard(FLock);
  for (int i = 0; i < features.Count(); ++i)
    counts[static_cast<std::size_t>(i)] = CounterAt(FeatureHash(features, i) % kBayesSlotCount);
}

double TBayesianDictionary::NoveltyRate() {
  int fresh = 0;
  int set = 0;
  TCriticalSectionGuard guard(FLock);
  for (const std::uint8_t byte : FRing) {
    fresh += byte == kBayesRingNew;
    set += byte == kBayesRingNew || byte == kBayesRingSeen;
  }
  return set == 0 ? 0.5 : static_cast<double>(fresh) / set;
}

void TBayesianDictionary::SetChainLength(std::uint8_t length) {
  if (length < 1 || length > kBayesMaxChainLength)
    throw std::invalid_argument("A chain length must lie between 1 and 5, not " +
                                std::to_string(length));
  const TDateTime now = Now();
  TCriticalSectionGuard guard(FLock);
  FChainLength.store(length);
  FChangeTime = now;
  ++FChanges;
}

TDateTime TBayesianDictionary::ChangeTime() {
  TCriticalSectionGuard guard(FLock);
  return FChangeTime;
}

bool TBayesianDictionary::IsChanged() {
  TCriticalSectionGuard guard(FLock);
  return FChanges != FSavedChanges;
}

void TBayesianDictionary::WriteHeader(std::string& image) const {
  Write32(image, kAtHeaderSize, kBayesHeaderSize);
  Write32(image, kAtVersion, FVersion);
  image[kAtChainLength] = static_cast<char>(FChainLength.load());
  image[kAtBits] = static_cast<char>(kBayesBitsPerCounter);
  Write32(image, kAtSlotCount, kBayesSlotCount);
  Write32(image, kAtTokenCount, FTokenCount.load());
  Write32(image, kAtTokenSum, FTokenSum.load());
  std::memcpy(image.data() + kAtRing, FRing, kBayesRingSize);
}

std::string TBayesianDictionary::Image() {
  std::string image;
  TCriticalSectionGuard guard(FLock);
  image.assign(reinterpret_cast<const char*>(FImage.get()), kBayesImageSize);
  WriteHeader(image);
  return image;
}

std::string TBayesianDictionary::Save() {
  return SaveTogether({this}).front();
}

std::vector<std::string> TBayesianDictionary::SaveTogether(
    const std::vector<TBayesianDictionary*>& dictionaries) {
  // The save locks are taken in one order, so that two of these never wait
  // for each other.
  std::vector<std::size_t> order(dictionaries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::less<TBayesianDictionary*>()(dictionaries[a], dictionaries[b]);
  });
  std::vector<std::unique_lock<std::mutex>> saving;
  for (std::size_t i : order) saving.emplace_back(dictionaries[i]->FSaveMutex);

  std::vector<std::string> errors(dictionaries.size());
  std::vector<TStagedFileRef> staged(dictionaries.size());
  std::vector<std::uint64_t> changes(dictionaries.size(), 0);
  TDurabilityBatch batch;
  for (std::size_t i = 0; i < dictionaries.size(); ++i) {
    TBayesianDictionary& dictionary = *dictionaries[i];
    std::string image;
    {
      TCriticalSectionGuard guard(dictionary.FLock);
      if (dictionary.FChanges == dictionary.FSavedChanges) continue;
      if (dictionary.FNeverSave) {
        errors[i] =
            "The dictionary " + dictionary.FPath + " is not saved over the file it could not read";
        continue;
      }
      changes[i] = dictionary.FChanges;
      image.assign(reinterpret_cast<const char*>(dictionary.FImage.get()), kBayesImageSize);
      dictionary.WriteHeader(image);
    }
    std::string error;
    staged[i] = batch.StageWrite(dictionary.FPath, image, 0600, true, nullptr, error);
    if (!staged[i]) errors[i] = "The dictionary was not saved: " + error;
  }
  const std::string commitError = batch.Commit();
  for (std::size_t i = 0; i < dictionaries.size(); ++i) {
    if (!staged[i]) continue;
    if (!commitError.empty() || staged[i]->State != TStagedFile::Placed) {
      errors[i] = "The dictionary " + dictionaries[i]->FPath + " was not saved: " +
                  (commitError.empty() ? std::string("it could not be put in place") : commitError);
      continue;
    }
    TCriticalSectionGuard guard(dictionaries[i]->FLock);
    dictionaries[i]->FSavedChanges = changes[i];
  }
  return errors;
}

// ---------------------------------------------------------------------------
// The open dictionaries and the globals

TBayesianDictionaryRef OpenBayesianDictionary(const std::string& path) {
  TRegistry& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.Mutex);
  return OpenLocked(RegistryKey(path), {}, lock);
}

TBayesianDictionaryRef SpamBayesianDictionary() {
  return Global(true);
}

TBayesianDictionaryRef PersonalBayesianDictionary() {
  return Global(false);
}

bool IsGlobalBayesianDictionary(const TBayesianDictionary* dictionary) {
  if (dictionary == nullptr) return false;
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.Mutex);
  return dictionary == registry.Spam.get() || dictionary == registry.Personal.get();
}

int SaveChangedBayesianDictionaries() {
  std::vector<TBayesianDictionaryRef> open;
  {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.Mutex);
    for (const auto& [key, dictionary] : registry.Open)
      if (TBayesianDictionaryRef held = dictionary.lock()) open.push_back(std::move(held));
  }
  std::vector<TBayesianDictionary*> changed;
  for (const TBayesianDictionaryRef& dictionary : open)
    if (dictionary->IsChanged()) changed.push_back(dictionary.get());
  return CatchAllButAbandonment(
      [&] {
        int saved = 0;
        for (const std::string& error : TBayesianDictionary::SaveTogether(changed)) {
          if (error.empty())
            ++saved;
          else
            Log(kLogService, error, 8, true);
        }
        return saved;
      },
      [](const std::string& error) {
        Log(kLogService, "The dictionaries were not saved: " + error, 8, true);
        return 0;
      });
}

void StartBayesianModule() {
  std::string stream;
  RegReadStream(kCountArraySection, kCountArrayValue, stream);
  stream.resize(stream.size() / kCountArrayRecord * kCountArrayRecord);
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.Mutex);
  registry.CountArray = std::move(stream);
  registry.Ended = false;
}

void EndBayesianModule() {
  TBayesianDictionaryRef spam;
  TBayesianDictionaryRef personal;
  std::string array;
  {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.Mutex);
    registry.Ended = true;
    spam = std::move(registry.Spam);
    personal = std::move(registry.Personal);
    array = std::move(registry.CountArray);
    registry.CountArray.clear();
  }
  if (!RegWriteStream(kCountArraySection, kCountArrayValue, array))
    Log(kLogService, "The test count array was not written", 8, true);
  try {
    // One commit for both; the files are let go afterwards.
    std::vector<TBayesianDictionary*> both;
    for (const TBayesianDictionaryRef& dictionary : {spam, personal})
      if (dictionary) both.push_back(dictionary.get());
    for (const std::string& error : TBayesianDictionary::SaveTogether(both))
      if (!error.empty()) Log(kLogService, error, 8, true);
  } catch (const std::exception& error) {
    Log(kLogService, std::string("The dictionaries were not saved: ") + error.what(), 8, true);
  }
}

std::string GlobalStandardTestCountArray() {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.Mutex);
  return registry.CountArray;
}

// ---------------------------------------------------------------------------
// Features

void BuildWordChains(TStringList& features, TFeatureHash hash, int chainLength) {
  const int count = features.Count();
  for (int i = 0; i < count; ++i) features.SetNumber(i, hash(features[i]));
  if (chainLength <= 1 || count <= chainLength) return;
  if (chainLength > kBayesMaxChainLength)
    throw std::invalid_argument("A chain length must lie between 1 and 5, not " +
                                std::to_string(chainLength));
  const int n = chainLength;
  TStringList chains;
  // Adds the chain of entries first + i for every bit i of `subset`, then
  // entry `last` when it is not negative.
  auto addChain = [&](int first, unsigned subset, int last) {
    std::string text;
    std::uint32_t chainHash = 0;
    for (int i = 0; i < n; ++i) {
      if ((subset & (1u << i)) == 0) continue;
      if (!text.empty()) text += ' ';
      text += features[first + i];
      chainHash ^= FeatureHash(features, first + i);
    }
    if (last >= 0) {
      if (!text.empty()) text += ' ';
      text += features[last];
      chainHash ^= FeatureHash(features, last);
    }
    chains.AddNumber(TrimText(text), chainHash);
  };
  for (unsigned subset = 1; subset < (1u << n); ++subset) addChain(0, subset, -1);
  for (int r = 1; r <= count - n; ++r) {
    const int last = r + n - 1;
    for (unsigned subset = 0; subset < (1u << (n - 1)); ++subset) addChain(r, subset, last);
  }
  features = std::move(chains);
}

long double RareFeatureProbability(const TStringList& features, TBayesianDictionary& a,
                                   TBayesianDictionary& b, double fraction) {
  try {
    const int count = features.Count();
    if (count < 10) return -1;
    std::vector<std::uint32_t> countsA;
    std::vector<std::uint32_t> countsB;
    a.GetCounts(features, countsA);
    b.GetCounts(features, countsB);
    std::sort(countsA.begin(), countsA.end());
    std::sort(countsB.begin(), countsB.end());
    // nearbyint rounds halves to even in the default rounding mode.
    const double wanted = std::nearbyint(count * fraction);
    if (!(wanted >= 0)) return -1;
    const auto k = static_cast<std::size_t>(std::min<double>(wanted, count - 1));
    std::uint64_t sumA = 0;
    std::uint64_t sumB = 0;
    for (std::size_t i = 0; i <= k; ++i) {
      sumA += countsA[i];
      sumB += countsB[i];
    }
    const std::uint64_t tokensA = a.TokenSum();
    const std::uint64_t tokensB = b.TokenSum();
    if (sumA + sumB < 10) return tokensA + tokensB > 1000 ? -2 : 0.5;
    if (sumA == 0) return 0;
    if (sumB == 0) return 1;
    if (tokensA == 0 || tokensB == 0) return -1;
    const long double shareA = static_cast<long double>(sumA) / tokensA;
    const long double shareB = static_cast<long double>(sumB) / tokensB;
    return shareA / (shareA + shareB);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception&) {
    return -1;
  }
}

long double UnseenFeatureShare(const TStringList& features, TBayesianDictionary& dictionary) {
  try {
    if (features.Empty()) return -1;
    std::vector<std::uint32_t> counts;
    dictionary.GetCounts(features, counts);
    const auto unseen = std::count(counts.begin(), counts.end(), 0u);
    return static_cast<long double>(unseen) / static_cast<long double>(counts.size());
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace halvorn
