// Runs the program's log for one test, in an install folder of its own, and
// reads back what was written: for tests of code that must log a failure
// instead of swallowing it.
#pragma once

#include <filesystem>
#include <string>

#include "foundation/app/log.h"
#include "foundation/files/install_folders.h"
#include "support/test_support.h"

namespace halvorn::test {

class LogCapture {
 public:
  LogCapture() : FHome("HALVORN_HOME", FRoot.Sub("home")) {
    ResetFolderCachesForTests();
    StartLogModule();
  }
  ~LogCapture() {
    EndLogModule();
    ResetFolderCachesForTests();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every record written so far (all files of the log folder, joined).
  std::string Text() const {
    FlushLog();
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(FRoot.Sub("home/Log"), ec))
      text += ReadFileBytes(entry.path().string());
    return text;
  }
  bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }

 private:
  TempFolder FRoot;
  ScopedEnv FHome;
};

}  // namespace halvorn::test
