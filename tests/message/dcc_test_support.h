// The checksum library's binding in tests: pointing it at a folder for one
// test, and reading what the recording stand-in was fed. A test file that
// includes this defines HALVORN_DCC_RECORDING_FOLDER (tests/CMakeLists.txt).
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

#include "message/dcc_checksums.h"

namespace halvorn::test {

// Points the binding at a folder for one test, and back at the program's
// folder afterwards.
class ScopedDccFolder {
 public:
  explicit ScopedDccFolder(const std::string& folder) { SetDccFolderForTests(folder); }
  ~ScopedDccFolder() { SetDccFolderForTests(""); }
  ScopedDccFolder(const ScopedDccFolder&) = delete;
  ScopedDccFolder& operator=(const ScopedDccFolder&) = delete;
};

// The recording stand-in's own exports, reached through a handle of the
// test's own on the same file.
class Recording {
 public:
  Recording() {
    FHandle = dlopen((std::string(HALVORN_DCC_RECORDING_FOLDER) + "/" + kDccLibraryFileName).c_str(),
                     RTLD_NOW | RTLD_LOCAL);
    if (FHandle != nullptr) Call<void (*)() noexcept>("ResetRecording")();
  }
  ~Recording() {
    if (FHandle != nullptr) dlclose(FHandle);
  }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  bool Loaded() const { return FHandle != nullptr; }
  std::vector<std::string> Texts() const {
    return List<std::string, const char*>("RecordedTextCount", "RecordedText");
  }
  std::vector<std::uint32_t> LineContexts() const {
    return List<std::uint32_t, std::uint32_t>("RecordedTextCount", "RecordedLineContext");
  }
  std::vector<std::uint32_t> FinalContexts() const {
    return List<std::uint32_t, std::uint32_t>("RecordedFinalCount", "RecordedFinalContext");
  }

 private:
  template <typename Fn>
  Fn Call(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(FHandle, name));
  }
  // The items the export `item` gives for 0 .. the answer of `count` - 1.
  template <typename T, typename Item>
  std::vector<T> List(const char* count, const char* item) const {
    std::vector<T> items;
    const int n = Call<int (*)() noexcept>(count)();
    for (int i = 0; i < n; ++i) items.emplace_back(Call<Item (*)(int) noexcept>(item)(i));
    return items;
  }

  void* FHandle = nullptr;
};

}  // namespace halvorn::test
