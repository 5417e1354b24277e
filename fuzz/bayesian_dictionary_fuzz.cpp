// Opens a dictionary file of arbitrary bytes: the table is the file's when
// the file is a valid table (header and probed counters as the bytes say),
// else a fresh one (the file set aside unchanged). After one addition, a
// save and a reload, the probed counters and the header agree with what the
// first table held plus that addition. The compact form of the saved image
// expands back to it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "foundation/files/atomic_file.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/hv-fuzz-bayes-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr);
    return pattern;
  }();
  return folder;
}

std::uint32_t Read32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

std::int32_t CountIn(std::string_view image, std::uint32_t slot) {
  const std::size_t at = halvorn::BayesCounterOffset(slot);
  return static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string path = Folder() + "/dict.dat";
  std::filesystem::remove_all(Folder());
  std::filesystem::create_directory(Folder());
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Check(WriteFileAtomically(path, bytes).empty());
  const bool valid = BayesianImageProblem(bytes).empty();
  // Probes: a few fixed slots (the ones kept at the end of the file among
  // them) and some the input names.
  std::uint32_t probes[8] = {0, 510, 511, 999999, 1, 12345, 0, 0};
  if (size >= 8) {
    probes[6] = Read32(bytes, 0);
    probes[7] = Read32(bytes, size - 4);
  }
  const std::uint32_t added = size >= 4 ? Read32(bytes, size / 2 - (size / 2 >= 2 ? 2 : 0)) : 7;
  {
    TBayesianDictionary dictionary(path);
    Check(dictionary.WasDamaged() == !valid);
    Check(dictionary.ChainLength() >= 1 && dictionary.ChainLength() <= kBayesMaxChainLength);
    if (valid) {
      Check(dictionary.TokenSum() == Read32(bytes, 18));
      Check(dictionary.TokenCount() == Read32(bytes, 14));
      Check(dictionary.ChainLength() == static_cast<unsigned char>(bytes[8]));
      for (std::uint32_t hash : probes)
        Check(dictionary.GetCount(hash) == CountIn(bytes, hash % kBayesSlotCount));
    } else {
      Check(dictionary.TokenSum() == 0 && dictionary.GetCount(added) == 0);
      Check(!std::filesystem::exists(path) || std::filesystem::exists(path + ".damaged"));
    }
    const double novelty = dictionary.NoveltyRate();
    Check(novelty >= 0 && novelty <= 1);
    std::int32_t old = -1;
    const bool saturated = dictionary.AddFeature(added, old);
    Check(saturated == (old == 65535));
    Check(old >= 0 && old <= 65535);
  }
  const std::string saved = [&] {
    std::string image;
    Check(ReadFileBytes(path, kBayesImageSize, image).empty());
    return image;
  }();
  Check(BayesianImageProblem(saved).empty());
  TBayesianDictionary reloaded(path);
  Check(!reloaded.WasDamaged());
  const std::uint32_t tokensBefore = valid ? Read32(bytes, 18) : 0;
  Check(reloaded.TokenSum() == tokensBefore + 1);
  Check(reloaded.ChainLength() == (valid ? static_cast<unsigned char>(bytes[8]) : 1));
  for (std::uint32_t hash : probes) {
    const std::uint32_t slot = hash % kBayesSlotCount;
    std::int32_t before = valid ? CountIn(bytes, slot) : 0;
    if (slot == added % kBayesSlotCount && before < 65535) ++before;
    Check(reloaded.GetCount(hash) == before);
  }
  std::string expanded;
  Check(ExpandCompactBayesianImage(CompactBayesianImage(saved), expanded).empty());
  Check(expanded == saved);
  return 0;
}
