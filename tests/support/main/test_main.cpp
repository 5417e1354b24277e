// The main() of every test program: it points the program's folders and
// outside tools at the build tree before any test runs, so a test never
// reads or writes the user's own settings, data or runtime files, whether it
// runs under CTest or by hand.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// The leak checker's suppressions. Fontconfig, loaded by Qt's font database,
// keeps a cache it never frees.
constexpr const char* kLeakSuppressions = "leak:libfontconfig.so\n";

// The runtime folder of this test process: short and private, under /tmp,
// because the sockets made in it must have names of at most 107 bytes
// wherever the build tree lies. Removed when the process that made it ends.
std::string gRuntimeFolder;
pid_t gRuntimeOwner = 0;

void RemoveRuntimeFolder() {
  // A forked child that ends must not take its parent's folder away.
  if (gRuntimeFolder.empty() || ::getpid() != gRuntimeOwner) return;
  std::error_code ec;
  std::filesystem::remove_all(gRuntimeFolder, ec);
}

std::string MakeRuntimeFolder(const std::string& fallback) {
  std::string pattern = "/tmp/hv-run-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return fallback;
  gRuntimeFolder = pattern;
  gRuntimeOwner = ::getpid();
  std::atexit(RemoveRuntimeFolder);
  return gRuntimeFolder;
}

void SetDefault(const char* name, const std::string& value, bool overwrite) {
  setenv(name, value.c_str(), overwrite ? 1 : 0);
}

void PrepareTestEnvironment() {
  const std::string scratch = HALVORN_TEST_SCRATCH_DIR;
  std::error_code ec;
  for (const char* sub : {"home", "config", "data", "run"})
    std::filesystem::create_directories(scratch + "/" + sub, ec);
  std::filesystem::permissions(scratch + "/run", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, ec);
  const std::string runtime = MakeRuntimeFolder(scratch + "/run");
  // Folders always move into the build tree; a test that needs others sets
  // them itself for its own duration.
  SetDefault("HALVORN_HOME", scratch + "/home", true);
  SetDefault("XDG_CONFIG_HOME", scratch + "/config", true);
  SetDefault("XDG_DATA_HOME", scratch + "/data", true);
  SetDefault("XDG_RUNTIME_DIR", runtime, true);
  // Windows are drawn off screen unless the caller asked for a display.
  SetDefault("QT_QPA_PLATFORM", "offscreen", false);
  SetDefault("HALVORN_PYTHON", "/usr/bin/python3", false);
  // The programs the tests start (halvorn itself, sanitizer builds too) get
  // the leak checker's suppressions of the test programs below: on a machine
  // without fonts Qt's font database leaves fontconfig's leak in every run.
  // Test programs run side by side: each writes its own copy and renames it
  // over the shared name, so a child never reads a half-written file.
  const std::string suppressions = scratch + "/lsan-suppressions.txt";
  const std::string own = suppressions + "." + std::to_string(::getpid());
  if (FILE* file = std::fopen(own.c_str(), "w")) {
    const bool written = std::fputs(kLeakSuppressions, file) >= 0;
    if (std::fclose(file) == 0 && written &&
        std::rename(own.c_str(), suppressions.c_str()) == 0)
      SetDefault("LSAN_OPTIONS", "suppressions=" + suppressions, false);
    else
      std::remove(own.c_str());
  }
}

}  // namespace

// The leak checker's suppressions for every test program.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return kLeakSuppressions;
}

// ThreadSanitizer's: Qt is not built for it, so the synchronisation inside
// Qt's own worker pools (the offscreen window's image conversions) is
// invisible to it, and the memory calls Qt makes there look like races.
// Calls from Qt's libraries are left unwatched; our code stays watched.
extern "C" __attribute__((used)) const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\n";
}

int main(int argc, char** argv) {
  PrepareTestEnvironment();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
