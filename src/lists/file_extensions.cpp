#include "lists/file_extensions.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "foundation/files/atomic_file.h"
#include "foundation/files/file_helpers.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"

namespace halvorn {

namespace {

constexpr const char* kService = "FileExtensions";
// More than any table the program writes; a bigger file is no table.
constexpr std::size_t kMaxTableFileBytes = 64u << 20;

bool ExtensionLess(const std::shared_ptr<TFileExtension>& a,
                   const std::shared_ptr<TFileExtension>& b) {
  return CompareText1252(a->Extension, b->Extension) < 0;
}

}  // namespace

std::string FileRiskLevelName(std::int32_t risk) {
  switch (risk) {
    case 0:
      return "low";
    case 1:
      return "moderate";
    case 2:
      return "high";
    case 3:
      return "very high";
    default:
      return "unknown";
  }
}

std::string NormalFileExtension(std::string_view text) {
  text = TrimTextView(text);
  while (!text.empty() && text.front() == '.') text = TrimTextView(text.substr(1));
  return std::string(text);
}

// ---------------------------------------------------------------------------
// TFileExtension

std::string TFileExtension::ToText() const {
  TStringList items;
  if (!Extension.empty()) items.Add("1=" + Extension);
  if (!Alias.empty()) items.Add("2=" + Alias);
  items.Add("3=" + std::to_string(Risk));
  if (Descriptions.Count() > 0) items.Add("4=" + Descriptions.CommaText());
  if (URLs.Count() > 0) items.Add("5=" + URLs.CommaText());
  return items.CommaText();
}

void TFileExtension::FromText(std::string_view line) {
  TStringList items;
  items.SetCommaText(line);
  SetExtension(items.Values("1"));
  SetAlias(items.Values("2"));
  Risk = StrToIntDef(items.Values("3"), kRiskNotSet);
  Descriptions.SetCommaText(items.Values("4"));
  URLs.SetCommaText(items.Values("5"));
}

void TFileExtension::WriteToStream(std::string& stream) const {
  stream += ToText();
  stream += "\r\n";
}

bool TFileExtension::ReadFromStream(std::string_view stream, std::size_t& position) {
  if (position >= stream.size()) return false;
  std::size_t end = stream.find('\n', position);
  const std::size_t next = end == std::string_view::npos ? stream.size() : end + 1;
  if (end == std::string_view::npos) end = stream.size();
  std::string_view line = stream.substr(position, end - position);
  if (!line.empty() && line.back() == '\r' && end < stream.size()) line.remove_suffix(1);
  position = next;
  FromText(line);
  return true;
}

bool TFileExtension::IsEmpty() const {
  if (Extension.empty()) return true;
  return Risk == kRiskNotSet && Descriptions.Count() == 0 && URLs.Count() == 0 &&
         Extension.find('{') == std::string::npos;
}

bool TFileExtension::GetClsidDescription(std::string& description) const {
  description.clear();
  return false;
}

std::vector<std::shared_ptr<TFileExtension>> ReadFileExtensions(std::string_view text) {
  std::vector<std::shared_ptr<TFileExtension>> entries;
  std::size_t position = 0;
  for (;;) {
    auto entry = std::make_shared<TFileExtension>();
    if (!entry->ReadFromStream(text, position)) break;
    if (!entry->Extension.empty()) entries.push_back(std::move(entry));
    Heartbeat("", -1, -1);
  }
  return entries;
}

// ---------------------------------------------------------------------------
// TFileExtensionList

TFileExtensionList::~TFileExtensionList() {
  try {
    WaitForLoad();
  } catch (const std::exception& e) {
    Log(kService, std::string("The table's load could not be waited for: ") + e.what(), 5, true);
  }
}

int TFileExtensionList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FItems.size());
}

std::shared_ptr<TFileExtension> TFileExtensionList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<std::size_t>(index)];
}

int TFileExtensionList::IndexOf(const TFileExtension* entry) {
  TCriticalSectionGuard guard(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == entry) return static_cast<int>(i);
  return -1;
}

bool TFileExtensionList::FindLocked(const std::string& key, int& index) {
  index = 0;
  if (key.empty()) return false;
  int low = 0;
  int high = static_cast<int>(FItems.size()) - 1;
  while (low <= high) {
    const int middle = low + (high - low) / 2;
    const int order = CompareText1252(FItems[static_cast<std::size_t>(middle)]->Extension, key);
    if (order < 0) {
      low = middle + 1;
      index = low;
    } else {
      index = middle;
      if (order == 0) return true;
      high = middle - 1;
    }
  }
  return false;
}

bool TFileExtensionList::Find(std::string_view extension, int& index) {
  const std::string key = NormalFileExtension(extension);
  TCriticalSectionGuard guard(FLock);
  return FindLocked(key, index);
}

std::shared_ptr<TFileExtension> TFileExtensionList::FindOrAdd(std::string_view extension) {
  const std::string key = NormalFileExtension(extension);
  if (key.empty()) return nullptr;
  TCriticalSectionGuard guard(FLock);
  int index = 0;
  if (FindLocked(key, index)) return FItems[static_cast<std::size_t>(index)];
  auto entry = std::make_shared<TFileExtension>();
  entry->Extension = key;
  FItems.insert(FItems.begin() + index, entry);
  return entry;
}

std::unique_ptr<TFileExtension> TFileExtensionList::GetCopy(std::string_view extension) {
  auto copy = std::make_unique<TFileExtension>();
  TCriticalSectionGuard guard(FLock);
  if (const std::shared_ptr<TFileExtension> entry = FindOrAdd(extension)) *copy = *entry;
  return copy;
}

std::shared_ptr<TFileExtension> TFileExtensionList::FindByContentType(
    std::string_view contentType) {
  try {
    std::string extension;
    // Without an answer ExtensionForContentType gives ".txt", which must not
    // make every unknown type a text file.
    if (!ExtensionForContentType(contentType, extension)) return nullptr;
    const std::string key = NormalFileExtension(extension);
    TCriticalSectionGuard guard(FLock);
    int index = 0;
    return FindLocked(key, index) ? FItems[static_cast<std::size_t>(index)] : nullptr;
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    Log(kService, std::string("No entry for the content type: ") + e.what(), 5, true);
    return nullptr;
  }
}

bool TFileExtensionList::Update(std::string_view extension,
                                const std::function<void(TFileExtension&)>& change) {
  TCriticalSectionGuard guard(FLock);
  const std::shared_ptr<TFileExtension> entry = FindOrAdd(extension);
  if (!entry) return false;
  const std::string key = entry->Extension;
  change(*entry);
  entry->Extension = key;  // the order of the table stands on it
  return true;
}

void TFileExtensionList::Delete(int index) {
  std::shared_ptr<TFileExtension> gone;
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return;
  gone = std::move(FItems[static_cast<std::size_t>(index)]);
  FItems.erase(FItems.begin() + index);
}

void TFileExtensionList::SaveToStream(std::string& stream) {
  TCriticalSectionGuard guard(FLock);
  for (const std::shared_ptr<TFileExtension>& entry : FItems)
    if (!entry->IsEmpty()) entry->WriteToStream(stream);
}

std::string TFileExtensionList::SaveToFile(const std::string& path) {
  std::string bytes;
  SaveToStream(bytes);
  return WriteFileAtomically(path, bytes);
}

void TFileExtensionList::AddEntries(std::vector<std::shared_ptr<TFileExtension>> entries) {
  TCriticalSectionGuard guard(FLock);
  FItems.insert(FItems.end(), std::make_move_iterator(entries.begin()),
                std::make_move_iterator(entries.end()));
  std::stable_sort(FItems.begin(), FItems.end(), ExtensionLess);
  // Of equal extensions the last read stays: a line appended to a file
  // overrides the one before it.
  std::vector<std::shared_ptr<TFileExtension>> kept;
  kept.reserve(FItems.size());
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (i + 1 < FItems.size() && !ExtensionLess(FItems[i], FItems[i + 1])) continue;
    kept.push_back(std::move(FItems[i]));
  }
  FItems.swap(kept);
}

void TFileExtensionList::SetText(std::string text) {
  TCriticalSectionGuard guard(FLock);
  FText = std::move(text);
}

void TFileExtensionList::LoadBuiltIn() {
  std::string text;
  {
    TCriticalSectionGuard guard(FLock);
    text.swap(FText);
  }
  if (text.empty()) text = BuiltInFileExtensionsText();
  AddEntries(ReadFileExtensions(text));
}

namespace {

// The file's entries; false (logged) when it cannot be read.
bool ReadTableFile(const std::string& path, std::vector<std::shared_ptr<TFileExtension>>& entries) {
  std::string bytes;
  const std::string error = ReadFileBytes(path, kMaxTableFileBytes, bytes);
  if (!error.empty()) {
    Log(kService, "The file-extension table is not loaded: " + error, 5, true);
    return false;
  }
  const std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  entries = ReadFileExtensions(bytes);
  return true;
}

}  // namespace

bool TFileExtensionList::LoadFromFile(const std::string& path, bool inThread) {
  if (!inThread) {
    std::vector<std::shared_ptr<TFileExtension>> entries;
    if (!ReadTableFile(path, entries)) return false;
    AddEntries(std::move(entries));
    return true;
  }
  std::lock_guard<std::mutex> lock(FWorkerMutex);
  if (FWorker.joinable()) FWorker.join();
  FWorker = std::thread([this, path] {
    try {
      std::vector<std::shared_ptr<TFileExtension>> entries;
      if (ReadTableFile(path, entries)) AddEntries(std::move(entries));
    } catch (const std::exception& e) {
      Log(kService, "The file-extension table is not loaded from " + path + ": " + e.what(), 5,
          true);
    }
  });
  return true;
}

void TFileExtensionList::WaitForLoad() {
  std::lock_guard<std::mutex> lock(FWorkerMutex);
  if (FWorker.joinable()) FWorker.join();
}

}  // namespace halvorn
