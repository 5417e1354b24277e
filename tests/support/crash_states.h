// A model of the files under a folder, replayed from what the durability
// mechanism recorded (durability_recording.h), and the states a power cut
// could leave at any point of the recording.
//
// The model follows a flush of the whole file system (syncfs, the
// mechanism's default method): at each Sync everything so far is durable.
// A power cut just before operation `cut` leaves the durable state of the
// last Sync before it plus any subset of the operations since (each one
// persisted or lost, in their order; an operation whose file is not there
// any more is skipped). A file created whose content was lost is empty. A
// rename is one step, as on Linux file systems.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/files/durability_batch.h"
#include "support/test_support.h"

namespace halvorn::test {

// Relative path -> content.
using TFiles = std::map<std::string, std::string>;

// Every regular file under the folder.
inline TFiles SnapshotFiles(const std::string& root) {
  TFiles files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (error) break;
    if (!it->is_regular_file()) continue;
    files[std::filesystem::relative(it->path(), root).string()] = ReadFileBytes(it->path().string());
  }
  return files;
}

// The path relative to the root; empty when it lies outside.
inline std::string RelativeTo(const std::string& root, const std::string& path) {
  const std::string prefix = root.back() == '/' ? root : root + "/";
  return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : std::string();
}

// One recorded operation on the model.
inline void ApplyOp(TFiles& files, const TDurabilityOp& op, const std::string& root) {
  const std::string path = RelativeTo(root, op.Path);
  switch (op.Kind) {
    case TDurabilityOp::Create:
      if (!path.empty()) files[path] = "";
      break;
    case TDurabilityOp::Content:
      if (!path.empty() && files.count(path)) files[path] = op.Bytes;
      break;
    case TDurabilityOp::Rename: {
      const std::string target = RelativeTo(root, op.Target);
      if (path.empty() || target.empty() || !files.count(path)) break;
      files[target] = files[path];
      files.erase(path);
      break;
    }
    case TDurabilityOp::Remove:
      if (!path.empty()) files.erase(path);
      break;
    default:
      break;
  }
}

// The state a power cut just before operation `cut` leaves, when exactly the
// operations since the last Sync for which `persisted` answers true reached
// the disk.
inline TFiles CrashState(const TFiles& initial, const std::vector<TDurabilityOp>& ops,
                         std::size_t cut, const std::string& root,
                         const std::function<bool(std::size_t)>& persisted) {
  std::size_t lastSync = 0;  // operations before it are durable
  for (std::size_t i = 0; i < cut && i < ops.size(); ++i)
    if (ops[i].Kind == TDurabilityOp::Sync) lastSync = i + 1;
  TFiles files = initial;
  for (std::size_t i = 0; i < lastSync; ++i) ApplyOp(files, ops[i], root);
  for (std::size_t i = lastSync; i < cut && i < ops.size(); ++i)
    if (persisted(i)) ApplyOp(files, ops[i], root);
  return files;
}

// Writes the files under the (empty) folder.
inline void WriteFiles(const TFiles& files, const std::string& root) {
  for (const auto& [path, content] : files) {
    const std::filesystem::path full = std::filesystem::path(root) / path;
    std::filesystem::create_directories(full.parent_path());
    WriteFileBytes(full.string(), content);
  }
}

}  // namespace halvorn::test
