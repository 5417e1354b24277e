// Messages of the mail corpus per second through the checksum array and the
// notice (the full notice with its two report files, a given notice
// inserted, and removed again), each pass against a reference pass that
// only parses the messages and decodes their text parts. Each run reports
// the peak of heap memory in use during a pass (peak_MB) and names the
// slowest message of its last pass (the label, with its milliseconds).
// After the table the time of each pass is printed as a ratio to the
// reference pass.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "foundation/files/install_folders.h"
#include "message/email_msg.h"
#include "message/processing_options.h"
#include "support/test_support.h"

// ---------------------------------------------------------------------------
// Heap bytes in use and their peak: every allocation of the program carries
// its size in front of it.

namespace {

std::atomic<std::int64_t> gInUse{0};
std::atomic<std::int64_t> gPeak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const std::int64_t now = gInUse.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
  std::int64_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void Release(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  gInUse.fetch_sub(static_cast<std::int64_t>(*static_cast<std::size_t*>(block)));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* pointer) noexcept { Release(pointer); }
void operator delete[](void* pointer) noexcept { Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { Release(pointer); }

namespace {

using halvorn::TEmailMsg;
using halvorn::TEmailMsgRef;


TEmailMsgRef MessageOf(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

void DecodeTextParts(TEmailMsg& msg) {
  halvorn::TEmailMsgPart* plain = nullptr;
  halvorn::TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  halvorn::TStringList lines;
  if (plain != nullptr) plain->DecodeToStringList(lines, false);
  if (html != nullptr) html->DecodeToStringList(lines, false);
  benchmark::DoNotOptimize(lines);
}

const halvorn::TSimpleHtml& GivenNotice() {
  static const halvorn::TSimpleHtml notice = [] {
    halvorn::TSimpleHtml n;
    n.AddLine("<b>Halvorn</b> notice", 1, halvorn::kHtmlKindHtml, false);
    n.AddLine("The danger level associated with the original e-mail is 12%.", 1,
              halvorn::kHtmlKindPlainText, true);
    return n;
  }();
  return notice;
}

// One pass over the corpus: `work` runs on each parsed message and only its
// time is counted; the slowest message is kept.
template <class Work>
void CorpusPass(benchmark::State& state, Work work) {
  const std::vector<std::string>& files = halvorn::bench::CorpusMessages().Files;
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  double slowest = 0;
  std::size_t slowestIndex = 0;
  std::int64_t peak = 0;
  for (auto _ : state) {
    gPeak.store(gInUse.load());
    const std::int64_t base = gInUse.load();
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      TEmailMsgRef msg = MessageOf(messages[i]);
      work(*msg);
      msg.reset();
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (ms > slowest) {
        slowest = ms;
        slowestIndex = i;
      }
    }
    peak = std::max(peak, gPeak.load() - base);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["peak_MB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
  state.SetLabel("slowest " + std::filesystem::path(files[slowestIndex]).filename().string() + " " +
                 std::to_string(slowest) + " ms");
}

void BM_ParseAndDecodeText(benchmark::State& state) {
  CorpusPass(state, [](TEmailMsg& msg) { DecodeTextParts(msg); });
}

void BM_GetCheckSums(benchmark::State& state) {
  CorpusPass(state, [](TEmailMsg& msg) {
    halvorn::TCheckSumArray sums;
    msg.GetCheckSums(sums, false);
    benchmark::DoNotOptimize(sums);
  });
}

void BM_NoticeBuild(benchmark::State& state) {
  CorpusPass(state, [](TEmailMsg& msg) { benchmark::DoNotOptimize(msg.BuildSummaryReportAndInfo()); });
}

void BM_NoticeInsertAndRemove(benchmark::State& state) {
  CorpusPass(state, [](TEmailMsg& msg) {
    msg.AddInfoForUser(GivenNotice(), 1);
    benchmark::DoNotOptimize(msg.DoRemoveQuorInfo());
  });
}

BENCHMARK(BM_ParseAndDecodeText)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_GetCheckSums)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_NoticeBuild)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_NoticeInsertAndRemove)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  // The report files and side records go to a folder of the run's own.
  halvorn::test::TempFolder home;
  setenv("HALVORN_HOME", home.Path().c_str(), 1);
  halvorn::ResetFolderCachesForTests();
  halvorn::TProcessingOptions options;
  options.InfoType = 1;
  halvorn::SetProcessingOptions(halvorn::kSingleUserName, options);
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ParseAndDecodeText/min_time:3.000",
                                                 "Time of a corpus pass relative to parsing and decoding alone");
}
