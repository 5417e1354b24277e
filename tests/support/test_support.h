// Helpers shared by the tests: throw-away folders, fixture paths and a way to
// ask outside reference programs (Python's standard library, coreutils).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace halvorn::test {

// A fresh empty folder under the build tree's scratch folder, removed with
// everything in it when the object goes. Not copyable.
class TempFolder {
 public:
  TempFolder();
  // Under /tmp with a short name ("/tmp/hv-XXXXXX", mode 0700): for Unix
  // sockets, whose names must fit in 107 bytes wherever the build tree lies.
  static TempFolder ForSockets() { return TempFolder("/tmp/hv-XXXXXX"); }
  // Under the given existing folder (the benchmarks' data folders on tmpfs).
  static std::unique_ptr<TempFolder> Under(const std::string& folder) {
    return std::unique_ptr<TempFolder>(new TempFolder(folder + "/t-XXXXXX"));
  }
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return FPath; }
  // Path + "/" + name.
  std::string Sub(const std::string& name) const;

 private:
  // Made from a mkdtemp pattern whose parent folder exists.
  explicit TempFolder(std::string pattern);

  std::string FPath;
};

// The fixture file tests/data/<name>.
std::string DataPath(const std::string& name);

// A folder for files a person reviews after the run, such as screenshots:
// the build tree's test-scratch/output/<name>, created. It outlives the test;
// the test command empties test-scratch before each run.
std::string OutputFolder(const std::string& name);

// Reads a whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Writes a whole file, replacing it; false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);

// The result of RunCommand.
struct CommandResult {
  int ExitCode = -1;      // -1 when the command could not be started or timed out
  std::string Output;     // what it wrote to standard output (or why it did not start)
  bool TimedOut = false;  // it was stopped at the time-out
};

// The time-out RunCommand gives a command unless told otherwise: well below
// CTest's, so a hanging oracle fails its test with what it wrote so far.
inline constexpr int kCommandTimeOutMs = 300000;

// Runs argv[0] (looked up on PATH) with the arguments, feeding `input` to its
// standard input and collecting its standard output. Blocks until the command
// ends, or stops it (and whatever it started) after `timeoutMs`.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input = {},
                         int timeoutMs = kCommandTimeOutMs);

// The bytes as hexadecimal digits, two per byte, lower-case unless `upper`
// (for handing binary data to outside oracles and for readable failure
// messages).
std::string HexOf(std::string_view bytes, bool upper = false);
// The bytes that pairs of hexadecimal digits stand for; a last lone digit is
// ignored.
std::string BytesFromHex(std::string_view hex);

// Debian's interpreter, where the apt-installed modules live.
std::string PythonPath();

// Runs a Python script given as text with /usr/bin/python3.
CommandResult RunPython(const std::string& script, const std::string& input = {});

// Runs the Python body with the module tests/data/<module>.py imported as
// `alias` (and sys), the input on its standard input and the arguments as
// sys.argv[2:]; for the transcriptions tests compare with.
CommandResult RunPythonModule(const std::string& module, const std::string& alias,
                              const std::string& body, const std::string& input = {},
                              const std::vector<std::string>& arguments = {});

// The lines of a command's output, each without its line end.
std::vector<std::string> OutputLines(const std::string& output);

// The unpacked mail corpus (one .eml file per message in a folder per group:
// easy-ham-1, easy-ham-2, hard-ham-1, spam-1, spam-2), or empty when the test
// setup could not fetch it. Tests that need it call GTEST_SKIP() then.
std::string CorpusDir();

// Every message file of the corpus, sorted; empty without the corpus.
std::vector<std::string> CorpusFiles();
// The message files of one group ("easy-ham-1", ...), sorted; empty without
// the corpus or for an unknown group.
std::vector<std::string> CorpusFiles(const std::string& group);

// Polls the condition every 5 ms until it holds (true) or `timeoutMs` have
// passed (false); for outside processes and threads whose progress cannot be
// signalled to the test.
template <class F>
bool Eventually(F condition, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Milliseconds since `start`, a reading of SteadyMilliseconds() (clock.h):
// both count the steady clock's milliseconds since its epoch.
inline std::int64_t ElapsedSince(std::int64_t start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() -
         start;
}

// Sets an environment variable for the rest of the test, restoring the old
// value (or its absence) when the object goes.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string FName;
  std::string FOld;
  bool FHadOld = false;
};

}  // namespace halvorn::test
