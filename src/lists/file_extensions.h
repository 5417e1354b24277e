// The risk table of attachment file extensions: for each extension a risk
// level, an equivalent extension, lines of description and reference
// addresses.
//
// The table starts from a built-in text of 162 entries (the source copy
// src/lists/FileExtensionsBuiltIn.txt, compiled in) unless the user has
// saved a table of their own, "FileExtensionsInfo.txt" in the install folder
// (GetFileExtensionsFilePath("Global")). The main window makes the table at
// start-up and hands it to the incoming processing (its attachment scoring)
// and the link server; the file-extension dialog edits it and saves it.
//
// Stored form, one line per entry ending in CR LF: a comma text of the
// items "1" extension, "2" equivalent extension, "3" risk (always written),
// "4" descriptions and "5" reference addresses (each a comma text of its
// lines); an item with an empty value is left out. Reading also takes lines
// ended by LF alone and a last line without an end.
//
// Order. Entries stand in ascending order of extension compared ignoring
// case (CompareText1252), each extension once: every load sorts the table
// (stably) and keeps the last of equal extensions, so a hand-edited or
// appended file reads as the program would have written it.
//
// Threads. The main thread (start-up, dialog, link server) and the incoming
// processing thread use the table at once. Every operation holds the
// table's lock "TFileExtensionList_CS"; entries are held by std::shared_ptr,
// so an entry Delete removes lives on for whoever holds it. An entry of the
// table is changed only through Update (under the lock); readers on other
// threads take copies (GetCopy).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// Risk levels: kRiskNotSet for an entry without one; 0 low to 3 very high;
// -2 and -3 count as less risky than low.
inline constexpr std::int32_t kRiskNotSet = -1;
inline constexpr std::int32_t kRiskVeryHigh = 3;

// "low", "moderate", "high", "very high" for 0 to 3, "unknown" otherwise.
std::string FileRiskLevelName(std::int32_t risk);

// The bytes of the built-in table (compiled in from the source copy).
std::string_view BuiltInFileExtensionsText();

// An extension as the table keys it: trimmed, without leading dots.
std::string NormalFileExtension(std::string_view text);

// One entry. A plain value: copy it freely; an entry of the table is
// changed only through TFileExtensionList::Update.
class TFileExtension {
 public:
  // The extension without its leading dot, as stored (the built-in table
  // uses capitals); may be a class id in braces.
  std::string Extension;
  // An equivalent extension, without its dot; may be empty.
  std::string Alias;
  std::int32_t Risk = kRiskNotSet;
  TStringList Descriptions;
  TStringList URLs;

  // Store the text as NormalFileExtension gives it.
  void SetExtension(std::string_view text) { Extension = NormalFileExtension(text); }
  void SetAlias(std::string_view text) { Alias = NormalFileExtension(text); }

  // The stored form (without the line end). FromText reads one: "1" and "2"
  // through the setters, "3" a number (kRiskNotSet when missing or none),
  // "4" and "5" comma texts; missing items give empty values.
  std::string ToText() const;
  void FromText(std::string_view line);
  // Appends ToText and CR LF.
  void WriteToStream(std::string& stream) const;
  // Reads the next line of the stream from `position` (up to its LF, a CR
  // before the LF dropped; or to the end) into the entry and moves past it.
  // False, changing nothing, at the end of the stream.
  bool ReadFromStream(std::string_view stream, std::size_t& position);

  // Nothing worth saving: no extension, or no risk, descriptions or
  // addresses and no class id ("{").
  bool IsEmpty() const;
  // The description the system registers for a class-id extension. Linux
  // has no class registry: always false.
  bool GetClsidDescription(std::string& description) const;
};

class TFileExtensionList {
 public:
  TFileExtensionList() = default;
  // Waits for a load still running on its worker.
  ~TFileExtensionList();
  TFileExtensionList(const TFileExtensionList&) = delete;
  TFileExtensionList& operator=(const TFileExtensionList&) = delete;

  int Count();
  // The entry at the index (the table's); null outside the table.
  std::shared_ptr<TFileExtension> Items(int index);
  // The index of the entry object, -1 when it is not in the table.
  int IndexOf(const TFileExtension* entry);

  // Binary search for the extension (NormalFileExtension of the text,
  // compared ignoring case): true with its index, or false with the index
  // where it belongs; false and 0 for an empty extension.
  bool Find(std::string_view extension, int& index);
  // The entry of the extension, a new empty one (risk not set) inserted at
  // its place when missing; null for an empty extension.
  std::shared_ptr<TFileExtension> FindOrAdd(std::string_view extension);
  // A copy of the entry of the extension for the caller (FindOrAdd makes it
  // when missing); an empty entry for an empty extension. Never null.
  std::unique_ptr<TFileExtension> GetCopy(std::string_view extension);
  // The entry of the extension the system's MIME database gives for the
  // content type (ExtensionForContentType); null when the type is unknown
  // there or the table lacks the extension.
  std::shared_ptr<TFileExtension> FindByContentType(std::string_view contentType);
  // Runs `change` on the entry of the extension (FindOrAdd) under the
  // table's lock, for editors and the link server's risk change; the
  // extension itself stays as it was. False for an empty extension.
  bool Update(std::string_view extension, const std::function<void(TFileExtension&)>& change);
  // Removes the entry at the index; nothing for an index outside the table.
  void Delete(int index);

  // Appends WriteToStream of every entry that is not empty, in order.
  void SaveToStream(std::string& stream);
  // SaveToStream into a file, replaced atomically; an empty text or the
  // error.
  std::string SaveToFile(const std::string& path);

  // Replaces the text LoadBuiltIn loads next (the built-in text when none
  // is set).
  void SetText(std::string text);
  // Adds the entries of the text set, or of the built-in text, then forgets
  // the text; sorted as said at the top.
  void LoadBuiltIn();
  // Adds the entries of the text file (its text ends at a zero byte). On
  // the calling thread without `inThread`: false when the file cannot be
  // read (logged). With it the file is read on a worker of the table and
  // its entries join the table under the lock when read (true: started; a
  // file that cannot be read is logged there); a later load or the table's
  // end waits for that worker first.
  bool LoadFromFile(const std::string& path, bool inThread = false);
  // Waits for a load running on the worker, if any.
  void WaitForLoad();

 private:
  // Adds the entries read from the text, sorting the table: under the lock.
  void AddEntries(std::vector<std::shared_ptr<TFileExtension>> entries);
  bool FindLocked(const std::string& key, int& index);

  TMutexCriticalSection FLock{"TFileExtensionList_CS"};
  std::vector<std::shared_ptr<TFileExtension>> FItems;
  std::string FText;
  // The worker of a load asked for with `inThread` (joined by WaitForLoad).
  std::mutex FWorkerMutex;
  std::thread FWorker;
};

// The entries of a text in the stored form, in text order; lines without an
// extension are dropped. Used by the loads.
std::vector<std::shared_ptr<TFileExtension>> ReadFileExtensions(std::string_view text);

}  // namespace halvorn
