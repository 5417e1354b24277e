// Records what the durability mechanism does (durability_batch.h) while it
// lives: every file operation and flush, and the roads' notes, in the one
// order in which they happened.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/files/durability_batch.h"

namespace halvorn::test {

class DurabilityRecording {
 public:
  DurabilityRecording() {
    SetDurabilityRecorderForTests([this](const TDurabilityOp& op) {
      std::lock_guard<std::mutex> lock(FMutex);
      FOps.push_back(op);
    });
  }
  ~DurabilityRecording() { SetDurabilityRecorderForTests(nullptr); }
  DurabilityRecording(const DurabilityRecording&) = delete;
  DurabilityRecording& operator=(const DurabilityRecording&) = delete;

  std::vector<TDurabilityOp> Ops() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FOps;
  }
  // One line per operation: "Kind name[>name]" (file names only), or the
  // note for an Event.
  std::vector<std::string> Lines() const {
    static const char* const kKinds[] = {"Create", "Content", "Rename", "Remove", "Sync", "Event"};
    std::vector<std::string> lines;
    for (const TDurabilityOp& op : Ops()) {
      std::string line = kKinds[op.Kind];
      if (op.Kind == TDurabilityOp::Event) line += " " + op.Bytes;
      if (!op.Path.empty()) line += " " + std::filesystem::path(op.Path).filename().string();
      if (!op.Target.empty()) line += ">" + std::filesystem::path(op.Target).filename().string();
      lines.push_back(line);
    }
    return lines;
  }

 private:
  mutable std::mutex FMutex;
  std::vector<TDurabilityOp> FOps;
};

}  // namespace halvorn::test
