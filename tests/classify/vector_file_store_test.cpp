// The training-vector files: their bytes as Python's struct reads them, the
// ring at its capacity, a change of vector size, damaged headers, a writer
// killed in the middle, and one store per file in a process.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "classify/vector_file_store.h"
#include "foundation/crypto/random_source.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

constexpr const char* kKillChildVariable = "HALVORN_VECTOR_STORE_KILL_CHILD";

std::string Header(std::int32_t h, std::int32_t count, std::int32_t writeCount, std::int32_t size,
                   std::int32_t capacity, std::int32_t version = 1) {
  std::string bytes(static_cast<std::size_t>(std::max(h, 24)), '\0');
  const std::int32_t fields[] = {h, count, writeCount, size, capacity, version};
  std::memcpy(bytes.data(), fields, sizeof fields);
  return bytes;
}

std::int64_t FileSize(const std::string& path) {
  return static_cast<std::int64_t>(std::filesystem::file_size(path));
}

TEST(VectorFileStore, BytesAsPythonReadsThem) {
  test::TempFolder folder;
  const std::string path = folder.Sub("Spam Test Training Set.dat");
  const std::vector<TVectorFloat> added = {
      {0.5, 1.0, 0.0, 0.25, 0.498, 0.502},
      {1.5, -0.2, NAN, 1.0 / 255, 127.5 / 255, 0.75},
      {0.75},                                       // padded with zeros
      {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8},     // cut to six
  };
  {
    TVectorFileStore store(path);
    EXPECT_EQ(store.HeaderSize(), 256);
    EXPECT_EQ(store.Capacity(), 5000);
    EXPECT_EQ(FileSize(path), 256);
    store.SetVectorSize(6);
    for (std::size_t i = 0; i < added.size(); ++i)
      EXPECT_EQ(store.AddVector(added[i]), static_cast<std::int32_t>(i));
    EXPECT_EQ(store.Count(), 4);
    EXPECT_EQ(store.WriteCount(), 4);
    const TVectorFloat first = store.ReadVector(0);
    EXPECT_EQ(first[0], 128 / 255.0);
    EXPECT_EQ(first[1], 1.0);
    EXPECT_EQ(store.ReadVector(2), (TVectorFloat{191 / 255.0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(store.ReadVector(4), TVectorFloat(6, 0.0));   // beyond the count
    EXPECT_EQ(store.ReadVector(-1), TVectorFloat(6, 0.0));
  }
  std::string input;
  for (const TVectorFloat& vector : added) {
    for (double v : vector) {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g ", v);
      input += text;
    }
    input += "\n";
  }
  // Python reads the header and the records, and quantises the values itself
  // (clamped, round half to even).
  const std::string script = R"(
import math, struct, sys
data = open(sys.argv[1], 'rb').read()
print('HEADER', *struct.unpack_from('<6i', data, 0), len(data), int(data[24:256] == bytes(232)))
h, count, wc, size = struct.unpack_from('<4i', data, 0)
for k in range(count):
    print('RECORD', *data[h + k * size:h + (k + 1) * size])
def q(v):
    return 0 if math.isnan(v) else round(min(max(v, 0.0), 1.0) * 255)
for line in sys.stdin:
    values = ([float(x) for x in line.split()] + [0.0] * size)[:size]
    print('EXPECT', *[q(v) for v in values])
)";
  const auto result = test::RunCommand({test::PythonPath(), "-c", script, path}, input);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const std::vector<std::string> lines = test::OutputLines(result.Output);
  ASSERT_EQ(lines.size(), 9u) << result.Output;
  EXPECT_EQ(lines[0], "HEADER 256 4 4 6 5000 1 280 1");
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(lines[1 + k].substr(7), lines[5 + k].substr(7)) << "record " << k;
  EXPECT_EQ(lines[1], "RECORD 128 255 0 64 127 128");
  EXPECT_EQ(lines[2], "RECORD 255 0 0 1 128 191");
}

// Two bytes per record number, so that every record tells which it is.
TVectorFloat Numbered(int k) { return {(k & 255) / 255.0, (k >> 8) / 255.0}; }
int NumberOf(const TVectorFloat& vector) {
  return static_cast<int>(std::lround(vector[0] * 255)) +
         256 * static_cast<int>(std::lround(vector[1] * 255));
}

TEST(VectorFileStore, RingOverwritesTheOldestAtCapacity) {
  test::TempFolder folder;
  const std::string path = folder.Sub("ring.dat");
  TVectorFileStore store(path);
  store.SetVectorSize(2);
  for (int k = 0; k < 5000; ++k) ASSERT_EQ(store.AddVector(Numbered(k)), k);
  EXPECT_EQ(store.AddVector(Numbered(5000)), 4999);
  EXPECT_EQ(store.Count(), 5000);
  EXPECT_EQ(store.WriteCount(), 5001);
  EXPECT_EQ(NumberOf(store.ReadVector(0)), 1);
  EXPECT_EQ(NumberOf(store.ReadVector(4999)), 5000);
  EXPECT_EQ(store.AddVector(Numbered(5001)), 4999);
  EXPECT_EQ(NumberOf(store.ReadVector(0)), 2);
  EXPECT_EQ(NumberOf(store.ReadVector(4998)), 5000);
  // The newest two lie at physical records 0 and 1; the file never grows.
  const std::string bytes = test::ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 256u + 5000 * 2);
  EXPECT_EQ(static_cast<unsigned char>(bytes[256]), 5000 & 255);
  EXPECT_EQ(static_cast<unsigned char>(bytes[258]), 5001 & 255);
}

TEST(VectorFileStore, AnotherVectorSizeDropsTheRecords) {
  test::TempFolder folder;
  const std::string path = folder.Sub("size.dat");
  TVectorFileStore store(path);
  // A new store holds vectors of size 0 until told otherwise.
  EXPECT_EQ(store.AddVector({1.0}), 0);
  EXPECT_EQ(store.ReadVector(0), TVectorFloat{});
  store.SetVectorSize(6);
  EXPECT_EQ(store.Count(), 0);
  for (int k = 0; k < 3; ++k) store.AddVector(TVectorFloat(6, 1.0));
  store.SetVectorSize(6);
  EXPECT_EQ(store.Count(), 3);
  EXPECT_EQ(FileSize(path), 256 + 3 * 6);
  store.SetVectorSize(4);
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(store.WriteCount(), 0);
  EXPECT_EQ(store.VectorSize(), 4);
  EXPECT_EQ(FileSize(path), 256);
  EXPECT_THROW(store.SetVectorSize(-1), std::invalid_argument);
  EXPECT_THROW(store.SetVectorSize(70000), std::invalid_argument);
  store.AddVector({1, 1, 1, 1});
  store.Clear();
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(store.VectorSize(), 4);
}

TEST(VectorFileStore, DamagedHeaderStartsAFreshStoreAndKeepsTheFile) {
  struct Row {
    const char* Why;
    std::string Bytes;
  };
  const Row rows[] = {
      {"header size 0", Header(0, 0, 0, 6, 5000) + std::string(300, 'x')},
      {"header size 23", Header(23, 0, 0, 6, 5000)},
      {"header size beyond 64 KiB", std::string("\x01\x00\x00\x40", 4) + std::string(100, '\0')},
      {"negative vector size", Header(256, 0, 0, -1, 5000)},
      {"huge vector size", Header(256, 0, 0, 70000, 5000)},
      {"capacity 0", Header(256, 0, 0, 6, 0)},
      {"capacity beyond a million", Header(256, 0, 0, 6, 1000001)},
      {"negative count", Header(256, -1, 0, 6, 5000)},
      {"count beyond the capacity", Header(256, 11, 11, 6, 10)},
      {"count beyond the write count", Header(256, 5, 4, 6, 5000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Why);
    test::TempFolder folder;
    const std::string path = folder.Sub("Pers X Training Set.dat");
    ASSERT_TRUE(test::WriteFileBytes(path, row.Bytes));
    {
      TVectorFileStore store(path);
      EXPECT_EQ(store.HeaderSize(), 256);
      EXPECT_EQ(store.Count(), 0);
      EXPECT_EQ(store.VectorSize(), 0);
      EXPECT_EQ(store.Capacity(), 5000);
      store.SetVectorSize(3);
      EXPECT_EQ(store.AddVector({1, 0, 1}), 0);
    }
    EXPECT_EQ(test::ReadFileBytes(path + ".damaged"), row.Bytes);
    EXPECT_EQ(FileSize(path), 256 + 3);
  }

  // A second damaged file never replaces the first one kept.
  test::TempFolder folder;
  const std::string path = folder.Sub("again.dat");
  ASSERT_TRUE(test::WriteFileBytes(path, Header(256, 0, 0, 6, 0)));
  { TVectorFileStore store(path); }
  ASSERT_TRUE(test::WriteFileBytes(path, Header(256, 9, 0, 6, 5000)));
  { TVectorFileStore store(path); }
  EXPECT_EQ(test::ReadFileBytes(path + ".damaged"), Header(256, 0, 0, 6, 0));
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
    if (entry.path().filename().string().rfind("again.dat.damaged", 0) == 0) ++kept;
  EXPECT_EQ(kept, 2);
}

TEST(VectorFileStore, SoundHeadersOfOtherSizesAreKept) {
  test::TempFolder folder;
  // H = 24: records right after the fields; a ring of 3 that has wrapped.
  const std::string path = folder.Sub("small.dat");
  ASSERT_TRUE(test::WriteFileBytes(path, Header(24, 3, 4, 1, 3) + "\x0a\x14\x1e"));
  TVectorFileStore store(path);
  EXPECT_EQ(store.HeaderSize(), 24);
  EXPECT_EQ(store.Capacity(), 3);
  // Logical 0 is physical (4 + 0) mod 3 = 1.
  EXPECT_EQ(store.ReadVector(0), TVectorFloat{20 / 255.0});
  EXPECT_EQ(store.ReadVector(2), TVectorFloat{10 / 255.0});
  EXPECT_EQ(store.AddVector({1.0}), 2);  // overwrites physical 1
  EXPECT_EQ(store.ReadVector(2), TVectorFloat{1.0});
  EXPECT_EQ(FileSize(path), 24 + 3);

  // A file shorter than its header: the counts start afresh.
  const std::string shortPath = folder.Sub("short.dat");
  ASSERT_TRUE(test::WriteFileBytes(shortPath, Header(256, 3, 3, 6, 5000).substr(0, 100)));
  TVectorFileStore shortStore(shortPath);
  EXPECT_EQ(shortStore.Count(), 0);
  EXPECT_EQ(FileSize(shortPath), 256);
}

// The child of the kill test: opens the store, adds 37 vectors, says so and
// waits to be killed.
TEST(VectorFileStoreKillChild, AddsAndWaits) {
  const char* path = std::getenv(kKillChildVariable);
  if (path == nullptr) GTEST_SKIP() << "runs only as the child of the kill test";
  const int round = std::atoi(std::getenv("HALVORN_VECTOR_STORE_KILL_ROUND"));
  SeedRandomForThisThread(static_cast<std::uint64_t>(round) * 7919);
  TVectorFileStore* store = new TVectorFileStore(path);  // never closed: killed first
  store->SetVectorSize(2);
  const int first = store->Count();
  for (int i = 0; i < 37; ++i) store->AddVector(Numbered(round * 1000 + i));
  // Named only when whole: the parent reads it as soon as the name is there.
  test::WriteFileBytes(std::string(path) + ".ready.part", std::to_string(first));
  std::filesystem::rename(std::string(path) + ".ready.part", std::string(path) + ".ready");
  for (;;) ::pause();
}

// After each kill the store reopens with the count of its last header write:
// every counted record reads back at its number, the next addition lands
// right after them, and the file stays within header + capacity records.
TEST(VectorFileStoreKill, ReopensConsistentlyAfterAKill) {
  test::TempFolder folder;
  const std::string path = folder.Sub("killed.dat");
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<int> model;  // the record number expected at each physical place
  int count = 0;
  int lagged = 0;  // kills after which the header held fewer records than were written
  for (int round = 1; round <= 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove(path + ".ready");
    test::ChildOptions options;
    options.Environment = {std::string(kKillChildVariable) + "=" + path,
                           "HALVORN_VECTOR_STORE_KILL_ROUND=" + std::to_string(round)};
    test::ChildProcess child;
    ASSERT_TRUE(child.Start({self, "--gtest_filter=VectorFileStoreKillChild.AddsAndWaits"}, options))
        << child.Error();
    ASSERT_TRUE(test::Eventually(
        [&] { return std::filesystem::exists(path + ".ready") || !child.Running(); }, 60000));
    ASSERT_TRUE(child.Running()) << "the child ended by itself: " << child.ExitCode();
    ::kill(child.Pid(), SIGKILL);
    ASSERT_TRUE(child.Wait(10000));
    ASSERT_EQ(test::ReadFileBytes(path + ".ready"), std::to_string(count));
    model.resize(static_cast<std::size_t>(count) + 37);
    for (int i = 0; i < 37; ++i) model[static_cast<std::size_t>(count + i)] = round * 1000 + i;

    TVectorFileStore store(path);
    EXPECT_GE(store.Count(), count);
    EXPECT_LE(store.Count(), count + 37);
    if (store.Count() < count + 37) ++lagged;
    count = store.Count();
    for (int k = 0; k < count; ++k)
      ASSERT_EQ(NumberOf(store.ReadVector(k)), model[static_cast<std::size_t>(k)]) << k;
    // The next record lands right after the counted ones.
    EXPECT_EQ(store.AddVector(Numbered(round * 1000 + 999)), count);
    const std::string bytes = test::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 256u + 2 * (count + 1));
    EXPECT_EQ(static_cast<unsigned char>(bytes[256 + 2 * count]), (round * 1000 + 999) & 255);
    model.resize(static_cast<std::size_t>(count) + 1);
    model[static_cast<std::size_t>(count)] = round * 1000 + 999;
    ++count;
    EXPECT_LE(FileSize(path), 256 + 5000 * 2);
  }
  EXPECT_GT(lagged, 0) << "no kill left the header behind the records: nothing was shown";
}

TEST(VectorFileStore, OneStorePerFileInAProcess) {
  test::TempFolder folder;
  const std::string path = folder.Sub("shared.dat");
  auto first = OpenSharedVectorStore(path);
  auto second = OpenSharedVectorStore(folder.Path() + "/./shared.dat");
  EXPECT_EQ(first.get(), second.get());
  EXPECT_NE(OpenSharedVectorStore(folder.Sub("other.dat")).get(), first.get());
  first->SetVectorSize(1);
  first->AddVector({1.0});
  first.reset();
  second.reset();
  auto reopened = OpenSharedVectorStore(path);
  EXPECT_EQ(reopened->Count(), 1);  // the header was written when it closed
  EXPECT_THROW(OpenSharedVectorStore(folder.Sub("no/such/folder.dat")), EVectorStoreError);
}

}  // namespace
}  // namespace halvorn
