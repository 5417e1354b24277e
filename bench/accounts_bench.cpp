// The accounts file with one mailbox of 10 000 UIDLs (the download thread
// saves after every connection that changed a state), UIDL look-ups, and the
// culling of 10 000 recorded UIDLs against a 10 000-line listing. Each is
// printed after the table as a ratio to a reference run in the same process:
// writing and reading the same bytes with the program's plain file helpers,
// a lookup in a hash set, and the search through the listing line by line
// that culling would be without its hashed copy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/files/atomic_file.h"
#include "foundation/files/quor_ini_file.h"
#include "message/accounts.h"
#include "message/accounts_file.h"
#include "message/uidl_states.h"
#include "bench/ratio_reporter.h"

namespace {

using namespace halvorn;

constexpr int kUidls = 10000;

// UIDLs in the form a common POP3 server gives them.
std::string UidlOf(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X%08X", i + 1, 0x65A1B2C3u);
  return text;
}

struct TFixture {
  std::string Folder;
  std::string Plain;
  std::string Enciphered;
  TRemoteAccountRef Account;
  std::vector<std::string> Uidls;

  TFixture() {
    std::string pattern = (std::filesystem::temp_directory_path() / "accounts-bench-XXXXXX").string();
    Folder = ::mkdtemp(pattern.data()) ? pattern : std::string(".");
    Plain = Folder + "/plain.txt";
    Enciphered = Folder + "/enciphered.txt";
    const TLocalAccountRef local = GlobalLocalAccounts().Add();
    local->SetUserId("alice");
    local->SetPassword("secret");
    Account = local->RemoteAccounts->Add();
    Account->SetUserId("alice");
    Account->SetPassword("pop secret");
    Account->SetHost("pop.example.com", false);
    for (int i = 0; i < kUidls; ++i) {
      Uidls.push_back(UidlOf(i));
      Account->SetUidlStatus(Uidls.back(), static_cast<TUidlStatus>(i % 3));
    }
    SaveAccountsFile(Plain, "alice", false);
    SaveAccountsFile(Enciphered, "alice", true);
  }
  ~TFixture() {
    std::error_code ec;
    std::filesystem::remove_all(Folder, ec);
  }
};

TFixture& Fixture() {
  static TFixture fixture;
  return fixture;
}

std::string FileBytes(const std::string& path) {
  std::string bytes;
  ReadFileBytes(path, kMaxIniFileSize, bytes);
  return bytes;
}

void BM_WriteSameBytes(benchmark::State& state) {
  const std::string bytes = FileBytes(Fixture().Plain);
  const std::string path = Fixture().Folder + "/reference.txt";
  for (auto _ : state) benchmark::DoNotOptimize(WriteFileAtomically(path, bytes));
}
BENCHMARK(BM_WriteSameBytes)->Unit(benchmark::kMillisecond);

void BM_SavePlain(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(SaveAccountsFile(Fixture().Plain, "alice", false));
}
BENCHMARK(BM_SavePlain)->Unit(benchmark::kMillisecond);

void BM_SaveEnciphered(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(SaveAccountsFile(Fixture().Enciphered, "alice", true));
}
BENCHMARK(BM_SaveEnciphered)->Unit(benchmark::kMillisecond);

void BM_ReadSameBytes(benchmark::State& state) {
  std::string bytes;
  for (auto _ : state) benchmark::DoNotOptimize(ReadFileBytes(Fixture().Plain, kMaxIniFileSize, bytes));
}
BENCHMARK(BM_ReadSameBytes)->Unit(benchmark::kMillisecond);

void Load(const std::string& path) {
  TLocalAccounts accounts;
  TQuorIniFile ini(path);
  benchmark::DoNotOptimize(accounts.Load(ini));
}

void BM_LoadPlain(benchmark::State& state) {
  for (auto _ : state) Load(Fixture().Plain);
}
BENCHMARK(BM_LoadPlain)->Unit(benchmark::kMillisecond);

void BM_LoadEnciphered(benchmark::State& state) {
  for (auto _ : state) Load(Fixture().Enciphered);
}
BENCHMARK(BM_LoadEnciphered)->Unit(benchmark::kMillisecond);

void BM_HashSetLookup(benchmark::State& state) {
  const std::unordered_set<std::string> set(Fixture().Uidls.begin(), Fixture().Uidls.end());
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.find(Fixture().Uidls[i]));
    i = (i + 7919) % Fixture().Uidls.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HashSetLookup);

void BM_GetUidlStatus(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Fixture().Account->GetUidlStatus(Fixture().Uidls[i]));
    i = (i + 7919) % Fixture().Uidls.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetUidlStatus);

// The server still lists all but the first ten recorded UIDLs, and ten new
// ones.
TStringList Listing() {
  TStringList listing;
  for (int i = 10; i < kUidls + 10; ++i) listing.Add(UidlOf(i));
  return listing;
}

TUidlStates Recorded() {
  TUidlStates states;
  for (int i = 0; i < kUidls; ++i) states.Set(UidlOf(i), us_Read);
  return states;
}

void BM_CullBySearchingTheListing(benchmark::State& state) {
  const TStringList listing = Listing();
  const TUidlStates recorded = Recorded();
  for (auto _ : state) {
    int removed = 0;
    for (const auto& [uidl, status] : recorded.Entries()) {
      bool found = false;
      for (int k = 0; k < listing.Count() && !found; ++k) found = listing[k] == uidl;
      removed += found ? 0 : 1;
    }
    benchmark::DoNotOptimize(removed);
  }
}
BENCHMARK(BM_CullBySearchingTheListing)->Unit(benchmark::kMillisecond);

void BM_CullUidls(benchmark::State& state) {
  const TStringList listing = Listing();
  const TUidlStates recorded = Recorded();
  for (auto _ : state) {
    state.PauseTiming();
    TUidlStates states = recorded;
    TStringList removed;
    state.ResumeTiming();
    states.Cull(listing, removed);
    benchmark::DoNotOptimize(removed.Count());
  }
}
BENCHMARK(BM_CullUidls)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::bench::TPairRatioReporter reporter("Time relative to the reference run:",
                                         {{"BM_SavePlain", "BM_WriteSameBytes"},
                                          {"BM_SaveEnciphered", "BM_WriteSameBytes"},
                                          {"BM_LoadPlain", "BM_ReadSameBytes"},
                                          {"BM_LoadEnciphered", "BM_ReadSameBytes"},
                                          {"BM_GetUidlStatus", "BM_HashSetLookup"},
                                          {"BM_CullUidls", "BM_CullBySearchingTheListing"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
