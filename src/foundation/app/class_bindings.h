// Scoped bindings of class names to factories, above a fixed table of
// classes: a test binds a stand-in class for a name, and the innermost
// binding of a name wins until its scope ends. An empty factory binds the
// name to "not built" (its placeholder).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvorn {

template <class Factory>
class TClassBindings {
 public:
  // Binds the name; answers the token that Unbind takes.
  std::uint64_t Bind(std::string className, Factory factory) {
    std::lock_guard<std::mutex> lock(FMutex);
    const std::uint64_t token = FNextToken++;
    FEntries.push_back({std::move(className), std::move(factory), token});
    return token;
  }

  void Unbind(std::uint64_t token) {
    std::lock_guard<std::mutex> lock(FMutex);
    for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
      if (it->Token == token) {
        FEntries.erase(it);
        return;
      }
    }
  }

  // The innermost binding of the name: true with its factory (which may be
  // empty); false when the name is not bound.
  bool Find(std::string_view className, Factory& factory) const {
    std::lock_guard<std::mutex> lock(FMutex);
    for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it) {
      if (it->ClassName == className) {
        factory = it->Make;
        return true;
      }
    }
    return false;
  }

 private:
  struct TEntry {
    std::string ClassName;
    Factory Make;
    std::uint64_t Token;
  };
  mutable std::mutex FMutex;
  std::vector<TEntry> FEntries;
  std::uint64_t FNextToken = 1;
};

}  // namespace halvorn
