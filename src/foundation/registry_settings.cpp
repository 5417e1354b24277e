#include "foundation/registry_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include "foundation/atomic_file.h"
#include "foundation/install_folders.h"
#include "foundation/log.h"
#include "foundation/version_info.h"
#include "platform/registry_store.h"

namespace halvorn {

namespace {

using platform::RegistryStore;
using platform::RegValue;
using platform::RegValueType;

const char* const kLogService = "Registry";
const char* const kFileName = "registry.ini";
// The application title, when the version carries no product name.
const char* const kApplicationTitle = "Halvorn";
// A store this large is not ours: refuse it rather than read it into memory.
constexpr std::uintmax_t kMaxStoreSize = 16 * 1024 * 1024;

// Serialises every read-modify-write of the file within the process.
std::mutex gStoreMutex;

const std::string& ProgramName() {
  static const std::string name = [] {
    std::string product = GetProductName();
    return product.empty() ? std::string(kApplicationTitle) : product;
  }();
  return name;
}

enum class LoadResult { Loaded, Missing, Failed };

// Reads the store file. A missing file is an empty store; a file that exists
// but cannot be read is a failure, so that a write never replaces values it
// could not see.
LoadResult LoadStore(const std::string& path, RegistryStore& store, std::string& error) {
  struct stat st {};
  if (path.empty()) {
    error = "No folder for " + std::string(kFileName);
    return LoadResult::Failed;
  }
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return LoadResult::Missing;
    error = "Cannot read " + path + ": " + std::strerror(errno);
    return LoadResult::Failed;
  }
  if (!S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > kMaxStoreSize) {
    error = "Cannot read " + path + ": not a registry file";
    return LoadResult::Failed;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  if (!in || (!text.empty() && !in.read(text.data(), static_cast<std::streamsize>(text.size())))) {
    error = "Cannot read " + path;
    return LoadResult::Failed;
  }
  store = RegistryStore::Parse(text);
  return LoadResult::Loaded;
}

std::optional<RegValue> ReadValue(const std::string& section, const std::string& name) {
  std::string path = GetRegistryFilePath();
  RegistryStore store;
  std::string error;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    if (LoadStore(path, store, error) != LoadResult::Loaded) return std::nullopt;
  }
  return store.Read(GetRegistryKeyPath(section), name);
}

bool WriteValue(const std::string& section, const std::string& name, const RegValue& value) {
  std::string path = GetRegistryFilePath();
  std::string keyPath = GetRegistryKeyPath(section);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    RegistryStore store;
    if (LoadStore(path, store, error) != LoadResult::Failed) {
      if (!store.Write(keyPath, name, value)) {
        error = "Cannot store the value \"" + name + "\" of " + keyPath;
      } else {
        std::string folder = path.substr(0, path.rfind('/'));
        if (!CreateFolderTree(folder))
          error = "Cannot create the folder " + folder;
        else
          error = WriteFileAtomically(path, store.Text(), 0600);
      }
    }
  }
  if (error.empty()) return true;
  Log(kLogService, error, 6, true);
  return false;
}

}  // namespace

std::string GetRegistryKeyPath(const std::string& section) {
  std::string path = "\\software\\" + ProgramName();
  if (!section.empty()) path += "\\" + section;
  return path;
}

std::string GetRegistryFilePath() {
  if (!GetHomeOverride().empty()) return GetInstallDir() + "/" + kFileName;
  std::string config = GetUserConfigDir();
  return config.empty() ? std::string() : config + "/Halvorn/" + kFileName;
}

bool RegKeyExists(const std::string& section) {
  std::string path = GetRegistryFilePath();
  RegistryStore store;
  std::string error;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    if (LoadStore(path, store, error) != LoadResult::Loaded) return false;
  }
  return store.KeyExists(GetRegistryKeyPath(section));
}

bool RegTryReadString(const std::string& section, const std::string& name, std::string& value) {
  std::optional<RegValue> stored = ReadValue(section, name);
  if (!stored || stored->Type != RegValueType::Text) return false;
  value = std::move(stored->Bytes);
  return true;
}

std::string RegReadString(const std::string& section, const std::string& name,
                          const std::string& defaultValue) {
  std::string value;
  return RegTryReadString(section, name, value) ? value : defaultValue;
}

bool RegWriteString(const std::string& section, const std::string& name, const std::string& value) {
  return WriteValue(section, name, RegValue::Text(value));
}

bool RegTryReadInteger(const std::string& section, const std::string& name, std::int32_t& value) {
  std::optional<RegValue> stored = ReadValue(section, name);
  if (!stored || stored->Type != RegValueType::Number) return false;
  value = stored->Number;
  return true;
}

std::int32_t RegReadInteger(const std::string& section, const std::string& name,
                            std::int32_t defaultValue) {
  std::int32_t value = 0;
  return RegTryReadInteger(section, name, value) ? value : defaultValue;
}

bool RegWriteInteger(const std::string& section, const std::string& name, std::int32_t value) {
  return WriteValue(section, name, RegValue::Int(value));
}

bool RegReadBoolVar(const std::string& section, const std::string& name, bool& value) {
  std::int32_t number = 0;
  if (!RegTryReadInteger(section, name, number)) return false;
  value = number != 0;
  return true;
}

bool RegReadBool(const std::string& section, const std::string& name, bool defaultValue) {
  bool value = false;
  return RegReadBoolVar(section, name, value) ? value : defaultValue;
}

bool RegWriteBool(const std::string& section, const std::string& name, bool value) {
  return RegWriteInteger(section, name, value ? 1 : 0);
}

bool RegReadStream(const std::string& section, const std::string& name, std::string& stream) {
  std::optional<RegValue> stored = ReadValue(section, name);
  if (!stored || stored->Type != RegValueType::Binary) {
    stream.clear();
    return false;
  }
  stream = std::move(stored->Bytes);
  return true;
}

bool RegWriteStream(const std::string& section, const std::string& name,
                    const std::string& stream) {
  return WriteValue(section, name, RegValue::Binary(stream));
}

}  // namespace halvorn
