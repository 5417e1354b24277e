#include "foundation/app/developer_mode.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/environment_texts.h"

namespace halvorn {
namespace {

std::mutex& CommandLineMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string>& CommandLineArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

// No machine turns developer mode on by its name.
constexpr char kDeveloperHostName[] = "";

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] != nullptr) arguments.emplace_back(argv[i]);
  }
  std::lock_guard<std::mutex> lock(CommandLineMutex());
  CommandLineArguments() = std::move(arguments);
}

bool IsDeveloperMode() {
  if (GetHostNameOrLocal() == kDeveloperHostName) return true;
  {
    std::lock_guard<std::mutex> lock(CommandLineMutex());
    for (const auto& argument : CommandLineArguments()) {
      if (SameText1252(argument, "-Vostek")) return true;
    }
  }
  return GetEnvironmentVar("IsVostek") == "Yes";
}

}  // namespace halvorn
