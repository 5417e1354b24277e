#include "foundation/files/registry_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/files/version_info.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/string_list.h"
#include "platform/registry_store.h"

namespace halvorn {

namespace {

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

// Reads the store file into `store`, an object opened on no file. A missing
// file is an empty store; a file that exists but cannot be read is a failure,
// so that a write never replaces values it could not see.
LoadResult LoadStore(const std::string& path, TQuorIniFile& store, std::string& error) {
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
  try {
    store.LoadFromFile(path);
  } catch (const EQuorIniFileError& e) {
    error = e.what();
    return LoadResult::Failed;
  }
  return LoadResult::Loaded;
}

std::optional<RegValue> ReadValue(const std::string& section, const std::string& name) {
  std::string path = GetRegistryFilePath();
  TQuorIniFile store("");
  std::string error;
  std::string stored;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    if (LoadStore(path, store, error) != LoadResult::Loaded) return std::nullopt;
  }
  if (!platform::RegNameStorable(name) ||
      !store.TryReadString(GetRegistryKeyPath(section), name, stored))
    return std::nullopt;
  return platform::DecodeRegValue(stored);
}

bool WriteValue(const std::string& section, const std::string& name, const RegValue& value) {
  std::string path = GetRegistryFilePath();
  std::string keyPath = GetRegistryKeyPath(section);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    TQuorIniFile store("");
    // No window messages inside the lock: a handler that reads a setting
    // would wait for it forever.
    store.SetProcessMessages(false);
    if (LoadStore(path, store, error) != LoadResult::Failed) {
      if (!platform::RegKeyPathStorable(keyPath) || !platform::RegNameStorable(name)) {
        error = "Cannot store the value \"" + name + "\" of " + keyPath;
      } else {
        const std::string stored = platform::EncodeRegValue(value);
        store.WriteString(keyPath, name, stored);
        std::string check;
        if (!store.TryReadString(keyPath, name, check) || check != stored) {
          error = "Cannot store the value \"" + name + "\" of " + keyPath;
        } else {
          try {
            store.SaveToFile(path);
          } catch (const EQuorIniFileError& e) {
            error = e.what();
          }
        }
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
  TQuorIniFile store("");
  std::string error;
  {
    std::lock_guard<std::mutex> lock(gStoreMutex);
    if (LoadStore(path, store, error) != LoadResult::Loaded) return false;
  }
  std::string keyPath = GetRegistryKeyPath(section);
  TStringList sections;
  store.ReadSections(sections);
  for (int i = 0; i < sections.Count(); ++i)
    if (platform::RegKeyCovers(sections[i], keyPath)) return true;
  return false;
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
