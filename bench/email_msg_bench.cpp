// Messages of the mail corpus parsed per second: each message read from its
// bytes, split into its part tree and every leaf decoded, against Python's
// email package doing the same (compat32, walk(), get_payload(decode=True))
// in the same run. Python's own timing leaves its start-up out. After the
// table the time of our pass is printed as a ratio to Python's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "message/email_msg.h"
#include "support/test_support.h"

namespace {

using halvorn::TEmailMsg;
using halvorn::TEmailMsgPartCollection;


void DecodeLeaves(TEmailMsgPartCollection& parts, std::size_t& bytes) {
  for (int i = 0; i < parts.Count(); ++i) {
    if (parts.Items(i)->Children().Count() > 0) {
      DecodeLeaves(parts.Items(i)->Children(), bytes);
    } else {
      std::string decoded;
      parts.Items(i)->DecodeToStream(decoded, false);
      bytes += decoded.size();
    }
  }
}

void BM_ParseCorpus(benchmark::State& state) {
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const std::string& message : messages) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(message);
      msg->FSetFlaggedDeleted(true);
      halvorn::TCriticalSectionGuard guard(msg->MessageLock());
      DecodeLeaves(msg->GetParts(), bytes);
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseCorpus)->Unit(benchmark::kMillisecond)->MinTime(5);

const char* const kPythonPass = R"PY(
import sys, time, email
from email import policy
datas = []
for path in sys.stdin.read().split('\n'):
    if path:
        data = open(path, 'rb').read()
        if data.startswith(b'From '):
            data = data[data.find(b'\n') + 1:]
        datas.append(data)
passes = int(sys.argv[1])
for _ in range(passes):
    start = time.perf_counter()
    total = 0
    for data in datas:
        msg = email.message_from_bytes(data, policy=policy.compat32)
        for part in msg.walk():
            if not part.is_multipart():
                payload = part.get_payload(decode=True)
                total += len(payload) if isinstance(payload, bytes) else 0
    print(time.perf_counter() - start)
)PY";

void BM_PythonParseCorpus(benchmark::State& state) {
  const std::vector<std::string>& files = halvorn::bench::CorpusMessages().Files;
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  std::string input;
  for (const std::string& file : files) input += file + "\n";
  const int passes = 3;
  const halvorn::test::CommandResult py = halvorn::test::RunCommand(
      {halvorn::test::PythonPath(), "-c", kPythonPass, std::to_string(passes)}, input);
  std::vector<double> seconds;
  std::istringstream out(py.Output);
  for (double s; out >> s;) seconds.push_back(s);
  if (py.ExitCode != 0 || seconds.empty()) {
    state.SkipWithError("python failed");
    return;
  }
  std::size_t next = 0;
  for (auto _ : state) state.SetIterationTime(seconds[next++ % seconds.size()]);
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PythonParseCorpus)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_PythonParseCorpus/iterations:3/manual_time",
                                                 "Time of a corpus pass relative to Python's email");
}
