// A queue of 10 000 messages of the mail corpus (the mbox "From " line
// stripped; the corpus has about 6 000, so some are there twice):
//  - LoadFolder, against listing the folder;
//  - the first load of the repository, whose whole time the registry lock
//    is held (well below the 2000 ms lock time-out, or another thread asking
//    for the repository meanwhile would time out);
//  - the first full FindByUidl walk, which reads every file, against reading
//    every file, and the peak resident memory after it;
//  - moves between two queues of the repository (the first move reads and
//    parses each message for its subject, the move back does not), against
//    renaming every file.
// After the table each run's time is printed as a ratio to its reference.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_folder.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "message/accounts.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "support/test_support.h"

namespace {

using namespace halvorn;

constexpr int kMessages = 10000;

struct TWorld {
  std::unique_ptr<test::TempFolder> Root;
  std::unique_ptr<test::ScopedEnv> Home;
  std::string Folder;  // the unprocessed-incoming folder
  bool Ready = false;
};

TWorld& World() {
  static TWorld world;
  if (world.Ready) return world;
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) return world;
  world.Root = bench::NewBenchFolder();
  world.Home = std::make_unique<test::ScopedEnv>("HALVORN_HOME", world.Root->Sub("home"));
  ResetFolderCachesForTests();
  world.Folder = GetUnprocessedIncomingDir(kSingleUserName);
  for (int i = 0; i < kMessages; ++i) {
    std::string bytes = test::ReadFileBytes(files[i % files.size()]);
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
    char name[32];
    std::snprintf(name, sizeof name, "/msg-%05d.eml", i);
    test::WriteFileBytes(world.Folder + name, bytes);
  }
  world.Ready = true;
  return world;
}

bool NeedWorld(benchmark::State& state) {
  if (World().Ready) return true;
  state.SkipWithError("no mail corpus");
  return false;
}

void BM_ListFolder(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  for (auto _ : state) {
    TStringList files;
    ListFilesInDir(World().Folder, "*.eml", false, INT_MAX, files);
    benchmark::DoNotOptimize(files.Count());
  }
}
BENCHMARK(BM_ListFolder)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_LoadFolder(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  for (auto _ : state) {
    auto queue = std::make_unique<TEmailMsgList>("bench");
    queue->LoadFolder(World().Folder);
    state.PauseTiming();
    if (queue->Count() != kMessages) state.SkipWithError("not every file was loaded");
    queue.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LoadFolder)->Unit(benchmark::kMillisecond)->Iterations(5);

// The registry lock is taken at the start of the first GetMessageRepository
// and let go at its end: the call's time is the time it is held.
void BM_FirstRepositoryLoad(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  for (auto _ : state) {
    state.PauseTiming();
    StartMessageRepositoryModule();
    state.ResumeTiming();
    TMessageRepository* repository = GetMessageRepository(kSingleUserName);
    state.PauseTiming();
    if (repository->UnProcessedIncoming()->Count() != kMessages)
      state.SkipWithError("not every file was loaded");
    EndMessageRepositoryModule();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstRepositoryLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReadEveryFile(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  TStringList files;
  ListFilesInDir(World().Folder, "*.eml", false, INT_MAX, files);
  for (auto _ : state) {
    std::size_t total = 0;
    for (int i = 0; i < files.Count(); ++i) {
      std::string bytes;
      ReadFileBytes(files[i], INT32_MAX, bytes);
      total += bytes.size();
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_ReadEveryFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FirstFindByUidlWalk(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  for (auto _ : state) {
    state.PauseTiming();
    auto queue = std::make_unique<TEmailMsgList>("bench");
    queue->LoadFolder(World().Folder);
    state.ResumeTiming();
    benchmark::DoNotOptimize(queue->FindByUidl("no such UIDL"));
    state.PauseTiming();
    state.counters["peak RSS MB"] = bench::PeakResidentMegabytes();
    // Nothing is saved: the walk changed no message file.
    for (const TEmailMsgRef& msg : queue->Snapshot()) msg->SetSaveChanges(false);
    queue.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstFindByUidlWalk)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_RenameEveryFile(benchmark::State& state) {
  if (!NeedWorld(state)) return;
  const std::string other = World().Root->Sub("renamed");
  CreateFolderTree(other);
  TStringList files;
  ListFilesInDir(World().Folder, "*.eml", false, INT_MAX, files);
  bool there = true;
  for (auto _ : state) {
    for (int i = 0; i < files.Count(); ++i) {
      const std::string name = files[i].substr(files[i].rfind('/'));
      if (there)
        RenameNoReplace(files[i], other + name);
      else
        RenameNoReplace(other + name, files[i]);
    }
    there = !there;
  }
  state.counters["renames/s"] = benchmark::Counter(
      static_cast<double>(files.Count()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  if (!there) {  // put the files back for the next runs
    for (int i = 0; i < files.Count(); ++i)
      RenameNoReplace(other + files[i].substr(files[i].rfind('/')), files[i]);
  }
}
BENCHMARK(BM_RenameEveryFile)->Unit(benchmark::kMillisecond)->Iterations(2);

// Iteration 1 moves every message from the unprocessed-incoming queue to the
// processed-incoming one (each read and parsed for its subject); iteration 2
// moves them back, already parsed.
void MoveAll(benchmark::State& state, bool back) {
  if (!NeedWorld(state)) return;
  StartMessageRepositoryModule();
  TMessageRepository* repo = GetMessageRepository(kSingleUserName);
  if (back) {
    for (const TEmailMsgRef& msg : repo->UnProcessedIncoming()->Snapshot())
      repo->MoveMailMessage(msg, repo->UnProcessedIncoming(), repo->ProcessedIncoming());
  }
  TEmailMsgList* from = back ? repo->ProcessedIncoming() : repo->UnProcessedIncoming();
  TEmailMsgList* to = back ? repo->UnProcessedIncoming() : repo->ProcessedIncoming();
  std::size_t moved = 0;
  for (auto _ : state) {
    for (const TEmailMsgRef& msg : from->Snapshot()) moved += repo->MoveMailMessage(msg, from, to);
  }
  state.counters["moves/s"] =
      benchmark::Counter(static_cast<double>(moved), benchmark::Counter::kIsRate);
  // Back where they came from for the next runs, unsaved.
  for (const TEmailMsgRef& msg : to->Snapshot()) {
    repo->MoveMailMessage(msg, to, repo->UnProcessedIncoming());
    msg->SetSaveChanges(false);
  }
  EndMessageRepositoryModule();
}

void BM_MovesReadingEachMessage(benchmark::State& state) {
  MoveAll(state, false);
}
BENCHMARK(BM_MovesReadingEachMessage)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_MovesOfReadMessages(benchmark::State& state) {
  MoveAll(state, true);
}
BENCHMARK(BM_MovesOfReadMessages)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::StartAccountsModule();
  halvorn::bench::TPairRatioReporter reporter(
      "Time relative to the plain file operations:",
      {{"BM_LoadFolder/iterations:5", "BM_ListFolder/iterations:5"},
       {"BM_FirstRepositoryLoad/iterations:3", "BM_ListFolder/iterations:5"},
       {"BM_FirstFindByUidlWalk/iterations:2", "BM_ReadEveryFile/iterations:3"},
       {"BM_MovesReadingEachMessage/iterations:1", "BM_RenameEveryFile/iterations:2"},
       {"BM_MovesOfReadMessages/iterations:1", "BM_RenameEveryFile/iterations:2"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  halvorn::EndAccountsModule();
  return 0;
}
