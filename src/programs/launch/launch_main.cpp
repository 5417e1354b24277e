// Launch: the restart launcher.
//
//   Launch [-] PID=<id> Exe=<program> CmdLine=<arguments> [Wait=<ms>]
//
// Waits until the process <id> has ended (at most Wait milliseconds, 120000
// by default), then replaces itself with <program>, giving it the arguments
// of the command text (split as the program's command lines are). A leading
// "-" stands where a program name would and is skipped. Exit codes: 2 for a
// bad command line, 3 when the process did not end in time, 4 when the
// program could not be started.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "foundation/app/processes.h"
#include "foundation/text/numbers.h"

namespace {

bool TakeValue(const std::string& arg, const char* key, std::string& value) {
  const std::string prefix = std::string(key) + "=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pidText, exe, commandText, waitText = "120000";
  bool haveCommand = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-" || TakeValue(arg, "PID", pidText) || TakeValue(arg, "Exe", exe) ||
        TakeValue(arg, "Wait", waitText)) {
      continue;
    }
    if (TakeValue(arg, "CmdLine", commandText)) {
      haveCommand = true;
      continue;
    }
    std::fprintf(stderr, "Launch: unknown argument \"%s\"\n", arg.c_str());
    return 2;
  }
  std::int64_t pid = 0, waitMs = 0;
  if (!halvorn::ParseSignedDecimal(pidText, 1, 0x7FFFFFFF, pid) || exe.empty() || !haveCommand ||
      !halvorn::ParseSignedDecimal(waitText, 0, 999999999999999999, waitMs)) {
    std::fprintf(stderr,
                 "usage: Launch [-] PID=<id> Exe=<program> CmdLine=<arguments> [Wait=<ms>]\n");
    return 2;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (halvorn::IsProcessRunning(static_cast<halvorn::TProcessId>(pid))) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "Launch: process %lld did not end\n", static_cast<long long>(pid));
      return 3;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::vector<std::string> args = halvorn::SplitCommandLine(commandText);
  args.insert(args.begin(), exe);
  std::vector<char*> pointers;
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  execv(exe.c_str(), pointers.data());
  std::perror(("Launch: cannot start " + exe).c_str());
  return 4;
}
