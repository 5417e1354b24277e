#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/child_process.h"

namespace halvorn::test {

TempFolder::TempFolder() : TempFolder([] {
  std::filesystem::path root = HALVORN_TEST_SCRATCH_DIR;
  std::filesystem::create_directories(root / "tmp");
  return (root / "tmp" / "t-XXXXXX").string();
}()) {}

TempFolder::TempFolder(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  FPath = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

std::string TempFolder::Sub(const std::string& name) const {
  return FPath + "/" + name;
}

std::string DataPath(const std::string& name) {
  return std::string(HALVORN_TEST_DATA_DIR) + "/" + name;
}

std::string OutputFolder(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(HALVORN_TEST_SCRATCH_DIR) / "output" / name;
  std::filesystem::create_directories(folder);
  return folder.string();
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutMs) {
  CommandResult result;
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    close(inPipe[0]);
    close(inPipe[1]);
    return result;
  }
  ChildProcess child;
  ChildOptions options;
  options.StdinFd = inPipe[0];
  options.StdoutFd = outPipe[1];
  options.OwnProcessGroup = true;  // a time-out ends whatever it started too
  const bool started = child.Start(argv, options);
  close(inPipe[0]);
  close(outPipe[1]);
  if (!started) {
    close(inPipe[1]);
    close(outPipe[0]);
    result.Output = child.Error();
    return result;
  }
  // Feed the input from another thread so a command that writes a lot before
  // reading everything cannot dead-lock against us. SIGPIPE is blocked there:
  // a command that ends without reading its input must not end the test.
  std::thread feeder([fd = inPipe[1], &input] {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(fd, input.data() + done, input.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  });
  // Read until the output ends; a child that has ended while something it
  // started still holds the output open counts as ended once what it wrote
  // has been read.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  bool childEnded = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      result.TimedOut = true;
      break;
    }
    pollfd ready{outPipe[0], POLLIN, 0};
    const int wait = childEnded ? 0 : static_cast<int>(std::min<std::int64_t>(left, 100));
    const int polled = poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      if (childEnded) break;
      childEnded = !child.Running();
      continue;
    }
    const ssize_t n = read(outPipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.Output.append(buffer, static_cast<std::size_t>(n));
  }
  if (!result.TimedOut) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    result.TimedOut = !child.Wait(static_cast<int>(std::max<std::int64_t>(left, 0)));
  }
  if (result.TimedOut) child.Stop(0);
  // Whatever the command left running in its group goes with it.
  ::kill(-child.Pid(), SIGKILL);
  close(outPipe[0]);
  feeder.join();
  result.ExitCode = result.TimedOut ? -1 : child.ExitCode();
  return result;
}

std::string HexOf(std::string_view bytes, bool upper) {
  const char* kDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string BytesFromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string PythonPath() {
  const char* p = std::getenv("HALVORN_PYTHON");
  return p && *p ? p : "/usr/bin/python3";
}

CommandResult RunPython(const std::string& script, const std::string& input) {
  TempFolder dir;
  std::string path = dir.Sub("script.py");
  WriteFileBytes(path, script);
  return RunCommand({PythonPath(), path}, input);
}

CommandResult RunPythonModule(const std::string& module, const std::string& alias,
                              const std::string& body, const std::string& input,
                              const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {PythonPath(), "-c",
                                   "import sys\nsys.path.insert(0, sys.argv[1])\nimport " + module +
                                       " as " + alias + "\n" + body,
                                   DataPath("")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunCommand(argv, input, 120000);
}

std::vector<std::string> OutputLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string CorpusDir() {
  const char* dir = std::getenv("HALVORN_CORPUS_DIR");
  if (!dir || !*dir || !std::filesystem::exists(std::string(dir) + "/.complete")) return {};
  return dir;
}

namespace {

std::vector<std::string> MessageFilesUnder(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code error;
  if (dir.empty() || !std::filesystem::is_directory(dir, error)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().extension() == ".eml")
      files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::vector<std::string> CorpusFiles() {
  return MessageFilesUnder(CorpusDir());
}

std::vector<std::string> CorpusFiles(const std::string& group) {
  const std::string dir = CorpusDir();
  if (dir.empty() || group.empty() || group.find('/') != std::string::npos) return {};
  return MessageFilesUnder(dir + "/" + group);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : FName(name) {
  if (const char* old = std::getenv(name.c_str())) {
    FHadOld = true;
    FOld = old;
  }
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (FHadOld)
    setenv(FName.c_str(), FOld.c_str(), 1);
  else
    unsetenv(FName.c_str());
}

}  // namespace halvorn::test
