// A stand-in for the checksum library that records what the binding hands
// it: every text and context given to DccChecksumLine, and the context
// DccFinalize receives. Built as libSumtrak3.so in a folder of its own; with
// DCC_INIT_ONLY it exports DccInit alone, as a library missing exports.
//
// The test reads the record through the extra exports at the end.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "message/dcc_checksums.h"

#define RECORDING_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The context values DccInit hands out: a recognisable base plus a count.
constexpr std::uint32_t kContextBase = 0x5EED0000;

std::mutex gLock;
std::uint32_t gInits = 0;
std::vector<std::string> gTexts;
std::vector<std::uint32_t> gLineContexts;
std::vector<std::uint32_t> gFinalContexts;

}  // namespace

RECORDING_EXPORT int DccInit(std::uint32_t* context) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  *context = kContextBase + ++gInits;
  return 0;
}

#ifndef DCC_INIT_ONLY
RECORDING_EXPORT void DccChecksumLine(const char* text, std::uint32_t context) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  gTexts.emplace_back(text);
  gLineContexts.push_back(context);
}

// Marks the record so the test sees that it reached the caller's record: a
// body sum whose first byte counts the texts taken.
RECORDING_EXPORT int DccFinalize(void* record, std::uint32_t* context) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  gFinalContexts.push_back(*context);
  *context = 0;
  auto* sums = static_cast<halvorn::TDccChecksums*>(record);
  sums->Slots[halvorn::DCC_CK_BODY].Type = halvorn::DCC_CK_BODY;
  sums->Slots[halvorn::DCC_CK_BODY].Sum[0] = static_cast<std::uint8_t>(gTexts.size());
  return 0;
}
#endif

// What was recorded since the last reset: the texts with the context each
// came with, and the contexts DccFinalize received.
RECORDING_EXPORT int RecordedTextCount() noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  return static_cast<int>(gTexts.size());
}
RECORDING_EXPORT const char* RecordedText(int i) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  return gTexts[i].c_str();
}
RECORDING_EXPORT std::uint32_t RecordedLineContext(int i) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  return gLineContexts[i];
}
RECORDING_EXPORT int RecordedFinalCount() noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  return static_cast<int>(gFinalContexts.size());
}
RECORDING_EXPORT std::uint32_t RecordedFinalContext(int i) noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  return gFinalContexts[i];
}
RECORDING_EXPORT void ResetRecording() noexcept {
  std::lock_guard<std::mutex> lock(gLock);
  gTexts.clear();
  gLineContexts.clear();
  gFinalContexts.clear();
}
