#include "classify/bayesian_seeds.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"

namespace halvorn {

namespace {

void AppendLeb128(std::string& bytes, std::uint32_t value) {
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    bytes += static_cast<char>(byte);
  } while (value != 0);
}

// Reads one LEB128 number of at most 32 bits at `at`; false when the form
// ends first or the number is longer.
bool ReadLeb128(std::string_view bytes, std::size_t& at, std::uint32_t& value) {
  value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (at >= bytes.size()) return false;
    const auto byte = static_cast<std::uint8_t>(bytes[at++]);
    const std::uint64_t part = static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (part > 0xFFFFFFFFu) return false;
    value |= static_cast<std::uint32_t>(part);
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

std::uint32_t CounterOf(std::string_view image, std::uint32_t slot) {
  const std::size_t at = BayesCounterOffset(slot);
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(image[at])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(image[at + 1])) << 8;
}

// Stages the seed's expanded image as its ".bak" in the install folder when
// no file of that name is there; answers an error when the shipped seed is
// damaged or cannot be written.
std::string StageSeed(TDurabilityBatch& batch, std::string_view compact, const char* fileName,
                      std::vector<TStagedFileRef>& staged) {
  if (compact.empty()) return {};
  const std::string path = GetInstallDir() + "/" + fileName;
  if (GetFileStamp(path).Exists) return {};
  std::string image;
  std::string error = ExpandCompactBayesianImage(compact, image);
  if (!error.empty()) return "The shipped seed " + std::string(fileName) + " is damaged: " + error;
  TStagedFileRef file = batch.StageWrite(path, image, 0600, false, nullptr, error);
  if (file) staged.push_back(std::move(file));
  return error;
}

void AddLine(std::string& lines, const std::string& line) {
  if (line.empty()) return;
  if (!lines.empty()) lines += "\n";
  lines += line;
}

}  // namespace

std::string CompactBayesianImage(std::string_view image) {
  const std::string problem = BayesianImageProblem(image);
  if (!problem.empty()) throw std::invalid_argument("Not a dictionary image: " + problem);
  std::string pairs;
  std::uint32_t used = 0;
  std::int64_t previous = -1;
  for (std::uint32_t slot = 0; slot < kBayesSlotCount; ++slot) {
    const std::uint32_t count = CounterOf(image, slot);
    if (count == 0) continue;
    AppendLeb128(pairs, static_cast<std::uint32_t>(slot - previous - 1));
    AppendLeb128(pairs, count);
    previous = slot;
    ++used;
  }
  std::string compact(image.substr(0, kBayesHeaderSize));
  for (int i = 0; i < 4; ++i) compact += static_cast<char>((used >> (8 * i)) & 0xFF);
  return compact + pairs;
}

std::string ExpandCompactBayesianImage(std::string_view compact, std::string& image) {
  image.clear();
  if (compact.size() < kBayesHeaderSize + 4) return "it is cut off in its header";
  std::string expanded(kBayesImageSize, '\0');
  expanded.replace(0, kBayesHeaderSize, compact.substr(0, kBayesHeaderSize));
  const std::string problem = BayesianImageProblem(expanded);
  if (!problem.empty()) return "its header gives no valid table (" + problem + ")";
  std::size_t at = kBayesHeaderSize;
  std::uint32_t used = 0;
  for (int i = 0; i < 4; ++i)
    used |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(compact[at++])) << (8 * i);
  if (used > kBayesSlotCount) return "it names " + std::to_string(used) + " counters";
  std::int64_t slot = -1;
  for (std::uint32_t i = 0; i < used; ++i) {
    std::uint32_t gap = 0;
    std::uint32_t count = 0;
    if (!ReadLeb128(compact, at, gap) || !ReadLeb128(compact, at, count))
      return "it is cut off after " + std::to_string(i) + " counters";
    slot += std::int64_t{gap} + 1;
    if (slot >= kBayesSlotCount) return "a counter lies beyond the table";
    if (count == 0 || count > kBayesMaxCount) return "a count of " + std::to_string(count);
    const std::size_t offset = BayesCounterOffset(static_cast<std::uint32_t>(slot));
    expanded[offset] = static_cast<char>(count & 0xFF);
    expanded[offset + 1] = static_cast<char>(count >> 8);
  }
  if (at != compact.size()) return std::to_string(compact.size() - at) + " bytes follow the counters";
  image = std::move(expanded);
  return {};
}

std::string InstallBayesianSeeds() {
  // Both seeds become durable with one commit.
  TDurabilityBatch batch;
  std::vector<TStagedFileRef> staged;
  std::string errors;
  AddLine(errors, StageSeed(batch, ShippedSpamBayesianSeed(), kSpamSeedFileName, staged));
  AddLine(errors, StageSeed(batch, ShippedPersBayesianSeed(), kPersSeedFileName, staged));
  const std::string commitError = batch.Commit();
  bool allPlaced = true;
  bool reported = false;
  for (const TStagedFileRef& file : staged) {
    if (file->State == TStagedFile::Placed) continue;
    allPlaced = false;
    // A file that appeared meanwhile stays: it is a seed as good as this one.
    if (GetFileStamp(file->Target).Exists || reported) continue;
    AddLine(errors, commitError.empty() ? "The seed " + file->Target + " was not written"
                                        : commitError);
    reported = true;
  }
  // Placed but not made durable.
  if (allPlaced) AddLine(errors, commitError);
  return errors;
}

}  // namespace halvorn
