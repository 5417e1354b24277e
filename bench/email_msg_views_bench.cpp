// The message views over the mail corpus: messages per second of a pass
// that parses every message (the reference), of one that then takes every
// view the tests read, and of one that then takes the image references of
// its HTML part. Each run's label names its slowest message; its counters
// give the process's peak resident memory so far (run one benchmark per
// process, with --benchmark_filter, to read one view's peak). After the
// table each run's time is printed as a ratio to the parse pass.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "message/email_msg.h"
#include "message/email_msg_views.h"
#include "support/test_support.h"

namespace {

using halvorn::TEmailMsg;
using halvorn::TEmailMsgPart;
using halvorn::TStringList;

std::vector<std::string> gFiles;
std::vector<std::string> gMessages;

void LoadCorpus() {
  if (!gMessages.empty()) return;
  gFiles = halvorn::test::CorpusFiles();
  for (const std::string& file : gFiles) {
    std::string bytes = halvorn::test::ReadFileBytes(file);
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
    gMessages.push_back(bytes);
  }
}

// Every view the tests and rules read.
void AllViews(TEmailMsg& msg) {
  TStringList lines;
  for (std::uint8_t area = 0; area < halvorn::kMessageAreaCount; ++area) msg.GetArea(area, lines);
  std::string text;
  msg.GetVeryPlainText(text, true, 1000);
  msg.GetBayesianWords(lines, true);
  msg.GetHtmlTags(lines, true);
  msg.CountAttachments();
  msg.HasBase64TextPart();
  msg.IsHtmlWithoutCharset();
  msg.CountLongLines();
  msg.SA_CountUnnecessaryQuotedPrintable();
  msg.SA_CountUnnecessaryHtmlEncoding();
  msg.GetMaxQuotedPrintableLineLength();
  msg.GetMaxLineLength(false);
  msg.HasMismatchedAttachmentType();
  msg.HasExecutableAttachment();
  msg.HasPgpSignature();
  msg.GetPartHeaderFlags();
  msg.IsFromHotmail();
  halvorn::TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  if (html != nullptr) {
    html->GetUrls(lines);
    html->GetFormActions(text);
  }
}

void ImageRefs(TEmailMsg& msg) {
  halvorn::TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  if (html == nullptr) return;
  TStringList refs;
  html->GetExtImageRefUrls(refs, true);
  benchmark::DoNotOptimize(refs.Count());
}

// One pass over the corpus: each message read and parsed, then `work`.
void CorpusPass(benchmark::State& state, const std::function<void(TEmailMsg&)>& work) {
  LoadCorpus();
  if (gMessages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  double slowest = 0;
  std::size_t slowestIndex = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < gMessages.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(gMessages[i]);
      msg->FSetFlaggedDeleted(true);
      msg->GetParts();
      if (work) work(*msg);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds > slowest) {
        slowest = seconds;
        slowestIndex = i;
      }
    }
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(gMessages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["peak_MB"] = halvorn::bench::PeakResidentMegabytes();
  state.counters["slowest_ms"] = slowest * 1000.0;
  state.SetLabel("slowest " + gFiles[slowestIndex]);
}

void BM_ParseCorpus(benchmark::State& state) {
  CorpusPass(state, {});
}
BENCHMARK(BM_ParseCorpus)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_ViewsCorpus(benchmark::State& state) {
  CorpusPass(state, AllViews);
}
BENCHMARK(BM_ViewsCorpus)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_ImageRefsCorpus(benchmark::State& state) {
  CorpusPass(state, ImageRefs);
}
BENCHMARK(BM_ImageRefsCorpus)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ParseCorpus/min_time:3.000",
                                                 "Time of a corpus pass relative to parsing alone");
}
