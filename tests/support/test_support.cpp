#include "support/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

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

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input) {
  CommandResult result;
  int in_pipe[2];
  int out_pipe[2];
  if (argv.empty() || pipe(in_pipe) != 0) return result;
  if (pipe(out_pipe) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return result;
  }
  // Feed the input from another thread so a command that writes a lot before
  // reading everything cannot dead-lock against us.
  std::thread feeder([fd = in_pipe[1], &input] {
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(fd, input.data() + done, input.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  char buf[65536];
  for (;;) {
    ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.Output.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  feeder.join();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string HexOf(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
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

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  std::string dir = CorpusDir();
  if (dir.empty()) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().extension() == ".eml")
      files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
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
