#include "foundation/files/reboot_operations.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/string_list.h"

namespace halvorn {

namespace {

const char* const kLogService = "RebootOperations";
const char* const kFileName = "PendingRenames.txt";
const char* const kSection = "Rename";

std::mutex gOperationsMutex;

bool StorablePath(const std::string& path) {
  return !path.empty() && path.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

// Reads the recorded moves, lets `change` edit them, and stores the result
// when `change` answers true. False (logged) when the file cannot be read or
// written.
template <class Change>
bool EditOperations(Change change) {
  std::lock_guard<std::mutex> lock(gOperationsMutex);
  const std::string path = GetRebootOperationsFilePath();
  try {
    // The object is not opened on the path: that would leave an empty file
    // behind when there is nothing to record.
    TQuorIniFile ini("");
    std::error_code missing;
    if (std::filesystem::exists(path, missing)) ini.LoadFromFile(path);
    TStringList lines;
    ini.ReadSectionValues(kSection, lines);
    if (!change(lines)) return true;
    ini.EraseSection(kSection);
    if (!lines.Empty()) ini.WriteSectionValues(kSection, lines);
    ini.SaveToFile(path);  // no moves left: no file
    return true;
  } catch (const std::exception& e) {
    Log(kLogService, e.what(), 8, true);
    return false;
  }
}

}  // namespace

std::string GetRebootOperationsFilePath() {
  return GetInstallDir() + "/" + kFileName;
}

bool MoveFileAtReboot(const std::string& source, const std::string& destination) {
  if (!StorablePath(source) || !StorablePath(destination) ||
      destination.find('=') != std::string::npos) {
    Log(kLogService, "Cannot record the move of " + source + " to " + destination, 8, true);
    return false;
  }
  const std::string line = Absolute(destination) + "=" + Absolute(source);
  return EditOperations([&line](TStringList& lines) {
    lines.Add(line);
    return true;
  });
}

void CancelRebootOperations(const std::string& path) {
  if (path.empty()) return;
  const std::string absolute = Absolute(path);
  EditOperations([&](TStringList& lines) {
    bool changed = false;
    for (int i = lines.Count() - 1; i >= 0; --i) {
      const std::string& line = lines[i];
      std::size_t equals = line.find('=');
      std::string destination = line.substr(0, equals);
      std::string source = equals == std::string::npos ? std::string() : line.substr(equals + 1);
      if (destination == path || source == path || destination == absolute || source == absolute) {
        lines.Delete(i);
        changed = true;
      }
    }
    return changed;
  });
}

int ApplyRebootOperations() {
  int applied = 0;
  EditOperations([&applied](TStringList& lines) {
    if (lines.Empty()) return false;
    TStringList kept;
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string& line = lines[i];
      std::size_t equals = line.find('=');
      if (equals == std::string::npos) continue;  // not a move: drop it
      std::string destination = line.substr(0, equals);
      std::string source = line.substr(equals + 1);
      if (std::rename(source.c_str(), destination.c_str()) == 0) {
        ++applied;
        continue;
      }
      int error = errno;
      std::error_code ignored;
      if (!std::filesystem::exists(std::filesystem::symlink_status(source, ignored))) {
        Log(kLogService,
            "Dropped the move of " + source + " to " + destination + ": " + std::strerror(ENOENT),
            6, true);
      } else {
        Log(kLogService,
            "Cannot move " + source + " to " + destination + ": " + std::strerror(error) +
                "; tried again at the next start",
            8, true);
        kept.Add(line);
      }
    }
    lines = kept;
    return true;
  });
  return applied;
}

}  // namespace halvorn
