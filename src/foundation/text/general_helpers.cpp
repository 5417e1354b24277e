#include "foundation/text/general_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unordered_set>

#include "foundation/text/code_page_1252.h"
#include "foundation/time/date_time.h"
#include "foundation/net/host_names.h"
#include "foundation/crypto/md5.h"
#include "foundation/text/string_library.h"
#include "foundation/text/text_normalisation.h"
#include "platform/main_thread.h"
#include "platform/mime_database.h"

namespace halvorn {

namespace fs = std::filesystem;

namespace {

bool IsOneOf(unsigned char c, std::string_view set) {
  return set.find(static_cast<char>(c)) != std::string_view::npos;
}

// Runs an edit that changes lines in place. A sorted list would refuse such
// changes, so it is edited through an unsorted copy and sorted again after.
template <class Edit>
void EditLines(TStringList& list, Edit edit) {
  if (!list.Sorted()) {
    edit(list);
    return;
  }
  TStringList work = list;
  work.SetSorted(false);
  edit(work);
  work.SetSorted(true);
  list = std::move(work);
}

std::string WithTrailingSlash(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + "/";
}

// The entries of a folder in name order; empty when it cannot be read.
std::vector<fs::directory_entry> SortedEntries(const std::string& folder) {
  std::vector<fs::directory_entry> entries;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return entries;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  return entries;
}

// A plain file, possibly reached through a symbolic link; never a folder.
bool IsPlainFile(const fs::directory_entry& entry) {
  std::error_code error;
  return entry.is_regular_file(error);
}

// A real folder: symbolic links to folders do not count.
bool IsRealFolder(const fs::directory_entry& entry) {
  std::error_code error;
  if (entry.is_symlink(error)) return false;
  return entry.is_directory(error);
}

// Creation time in seconds since 1970 (UTC): the birth time where the file
// system records one, else the modification time. False when the file cannot
// be examined.
bool FileCreationSeconds(const std::string& path, double& seconds) {
  struct statx info;
  std::memset(&info, 0, sizeof(info));
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return false;
  if (info.stx_mask & STATX_BTIME) {
    seconds = static_cast<double>(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9;
  } else {
    seconds = static_cast<double>(info.stx_mtime.tv_sec) + info.stx_mtime.tv_nsec / 1e9;
  }
  return true;
}

// A date-time as seconds since 1970, taken as UTC as it stands (no zone
// conversion). False for a value that is no date-time or lies before 1601,
// where file times begin.
bool DateTimeAsFileSeconds(TDateTime date, double& seconds) {
  TDateTimeFields fields;
  if (!TryDecodeDateTime(date, fields) || fields.Year < 1601) return false;
  seconds = static_cast<double>(DateTimeToUnix(date));
  return true;
}

bool RealDeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::mutex& DeleteSeamMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<bool(const std::string&)>& DeleteSeam() {
  static std::function<bool(const std::string&)> seam;
  return seam;
}

bool DeleteOneFile(const std::string& path) {
  std::function<bool(const std::string&)> seam;
  {
    std::lock_guard<std::mutex> lock(DeleteSeamMutex());
    seam = DeleteSeam();
  }
  return seam ? seam(path) : RealDeleteFile(path);
}

std::mutex& CommandLineMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string>& CommandLineArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

// No machine turns developer mode on by its name.
constexpr char kDeveloperHostName[] = "";

}  // namespace

// ---------------------------------------------------------------------------
// Character classes

bool IsAddressChar(unsigned char c) {
  return IsVisibleChar(c) && !IsOneOf(c, "\"#%&()*/;<>[\\]{|}");
}

bool IsFileNameChar(unsigned char c) {
  return c == ' ' || (IsVisibleChar(c) && !IsOneOf(c, "\"*/:<>?\\|"));
}

bool IsUrlSafeChar(unsigned char c) {
  return IsVisibleChar(c) && !IsOneOf(c, "!\"#$()*,;<>[]{|}");
}

// ---------------------------------------------------------------------------
// Texts

std::string TrimLeadingSpaces(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return std::string(text.substr(i));
}

std::string TrimText(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return std::string(text.substr(first, last - first));
}

std::string PadLeft(std::string_view text, int width, std::string_view fill) {
  std::string result = TrimLeadingSpaces(text);
  const std::size_t target = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (result.size() > target) return result.substr(result.size() - target);
  if (fill.empty()) return result;
  std::string prefix;
  while (prefix.size() + result.size() < target) prefix.append(fill);
  return prefix + result;
}

int PosOf(std::string_view part, std::string_view text) {
  if (part.empty()) return 0;
  auto found = text.find(part);
  return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

int PosCI(std::string_view part, std::string_view text) {
  if (part.empty()) return 0;
  return PosMaskFrom(text, part, -1);
}

int FindTextCIFrom(std::string_view text, std::string_view part, int start) {
  if (part.empty() || part.size() > text.size()) return 0;
  std::size_t from = start > 1 ? static_cast<std::size_t>(start) - 1 : 0;
  for (std::size_t p = from; p + part.size() <= text.size(); ++p) {
    if (SameText1252(text.substr(p, part.size()), part)) return static_cast<int>(p) + 1;
  }
  return 0;
}

bool StripDoubleQuotes(std::string& text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  text = text.substr(1, text.size() - 2);
  return true;
}

std::string CStrToString(const char* bytes) {
  return bytes ? std::string(bytes) : std::string();
}

std::string BytesToString(const void* address, std::int64_t count) {
  if (address == nullptr || count < 1) return {};
  return std::string(static_cast<const char*>(address), static_cast<std::size_t>(count));
}

std::string BoolToText(bool value) {
  return value ? "True" : "False";
}

std::string IntToHexDigits(std::uint32_t value, int n) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string digits(8, '0');
  for (int i = 7; i >= 0; --i) {
    digits[i] = kHex[value & 0x0F];
    value >>= 4;
  }
  if (n <= 0) return {};
  if (n >= 8) return digits;
  return digits.substr(8 - n);
}

std::int64_t SizeToText(bool truncateFirst, std::int64_t value, std::string& unit) {
  constexpr std::int64_t kGiga = 1000000000;
  constexpr std::int64_t kMega = 1000000;
  constexpr std::int64_t kKilo = 1000;
  if (truncateFirst) {
    if (value > kGiga) {
      value -= value % kGiga;
    } else if (value > kMega) {
      value -= value % kMega;
    } else if (value > kKilo) {
      value -= value % kKilo;
    }
  }
  if (value % kGiga == 0) {
    unit = "Giga";
    return value / kGiga;
  }
  if (value % kMega == 0) {
    unit = "Mega";
    return value / kMega;
  }
  if (value % kKilo == 0) {
    unit = "Kilo";
    return value / kKilo;
  }
  unit.clear();
  return value;
}

bool StripShortPrefixes(std::string& text) {
  bool removed = false;
  for (;;) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon > 3) break;
    text.erase(0, colon + 1);
    removed = true;
  }
  return removed;
}

bool CutBetween(std::string_view startMarker, std::string_view endMarker, std::string& text,
                bool withMarkers, std::string& piece) {
  piece.clear();
  if (startMarker.empty() && endMarker.empty()) {
    piece = std::move(text);
    text.clear();
    return true;
  }
  // 0-based positions of the markers.
  std::size_t f = 0;
  if (!startMarker.empty()) {
    f = text.find(startMarker);
    if (f == std::string::npos) return false;
  }
  std::size_t t;
  if (endMarker.empty()) {
    if (text.empty()) return false;
    t = text.size() - 1;
  } else {
    t = text.find(endMarker, f);
    if (t == std::string::npos) return false;
  }
  if (t <= f) return false;
  if (withMarkers) {
    std::size_t stop = endMarker.empty() ? text.size() : t + endMarker.size();
    piece = text.substr(f, stop - f);
    text.erase(f, stop - f);
  } else {
    std::size_t from = f + startMarker.size();
    std::size_t to = endMarker.empty() ? text.size() : t;
    // Markers that overlap leave nothing between them.
    if (to > from) {
      piece = text.substr(from, to - from);
      text.erase(from, to - from);
    }
  }
  return true;
}

bool TextBetween(std::string_view startMarker, std::string_view endMarker, std::string_view text,
                 bool withMarkers, std::string& piece) {
  std::string copy(text);
  return CutBetween(startMarker, endMarker, copy, withMarkers, piece);
}

void LongestCommonSubstring(std::string_view first, std::string_view second, int minLength,
                            std::string& result, bool caseSensitive) {
  result.clear();
  if (first.empty() || second.empty()) return;
  const std::string a = caseSensitive ? std::string(first) : LowerCase1252(first);
  const std::string b = caseSensitive ? std::string(second) : LowerCase1252(second);
  if (a == b) {
    result = first;
    return;
  }
  std::size_t bestStart = 0;
  std::size_t bestLength = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::size_t j = b.find(a[i]);
    if (j == std::string::npos) continue;
    std::size_t length = 0;
    while (i + length < a.size() && j + length < b.size() && a[i + length] == b[j + length]) {
      ++length;
    }
    if (length > bestLength) {
      bestStart = j;
      bestLength = length;
    }
  }
  if (bestLength == 0 || bestLength < static_cast<std::size_t>(std::max(minLength, 0))) return;
  result = second.substr(bestStart, bestLength);
}

void CommonSubstringsOfList(const TStringList& list, int minLength, bool caseSensitive,
                            std::string& result) {
  result.clear();
  struct TTally {
    std::string Piece;
    int Count;
  };
  std::vector<TTally> tallies;
  std::string piece;
  for (int i = 0; i < list.Count(); ++i) {
    for (int j = i + 1; j < list.Count(); ++j) {
      LongestCommonSubstring(list[i], list[j], minLength, piece, caseSensitive);
      if (piece.empty()) continue;
      auto found = std::find_if(tallies.begin(), tallies.end(),
                                [&](const TTally& t) { return SameText1252(t.Piece, piece); });
      if (found == tallies.end()) {
        tallies.push_back({piece, 1});
      } else {
        ++found->Count;
      }
    }
  }
  int best = 0;
  for (const auto& tally : tallies) {
    if (tally.Count > best) {
      best = tally.Count;
      result = tally.Piece;
    }
  }
}

std::string MD5Hex(std::string_view text) {
  return MD5DigestToHex(MD5String(text));
}

std::string MD5HexUpper(std::string_view text) {
  return UpperCase1252(MD5Hex(text));
}

std::uint32_t HashText(std::string_view text) {
  const TMD5Digest digest = MD5String(text);
  std::uint32_t hash = 0;
  for (int word = 0; word < 4; ++word) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | digest[word * 4 + k];
    hash ^= value;
  }
  return hash;
}

void ShowMessageUnlessQuiet(const std::string& text, bool quiet) {
  if (!quiet) platform::RunShowMessageHook(text);
}

std::string GetEnvironmentVar(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

// ---------------------------------------------------------------------------
// String lists and comma texts

void SplitToList(std::string_view text, std::string_view separator, TStringList& list) {
  if (separator.empty()) {
    if (!text.empty()) list.Add(std::string(text));
    return;
  }
  std::size_t start = 0;
  for (;;) {
    auto found = text.find(separator, start);
    if (found == std::string_view::npos) {
      if (start < text.size()) list.Add(std::string(text.substr(start)));
      return;
    }
    list.Add(std::string(text.substr(start, found - start)));
    start = found + separator.size();
  }
}

std::string JoinStringList(const TStringList& list, std::string_view separator) {
  std::string result;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) result.append(separator);
    result.append(list[i]);
  }
  return result;
}

void SplitAmpersandList(std::string_view text, TStringList& list) {
  list.Clear();
  TStringList pieces;
  SplitToList(text, "&", pieces);
  for (int i = 0; i < pieces.Count(); ++i) list.Add(UrlDecode(pieces[i]));
}

void ReverseStringList(TStringList& list) {
  EditLines(list, [](TStringList& lines) {
    for (int i = 0, j = lines.Count() - 1; i < j; ++i, --j) lines.Exchange(i, j);
  });
}

void TrimStringList(TStringList& list) {
  EditLines(list, [](TStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i) lines.SetString(i, TrimText(lines[i]));
  });
}

void RemoveDuplicateLines(TStringList& list, bool sorted) {
  if (!sorted) {
    RemoveDuplicateLinesUnsorted(list);
    return;
  }
  list.Sort();
  // A list that sorts ignoring case may keep "a", "A", "a" in that order:
  // look back over the whole run of lines that sort alike, not only the
  // line just before.
  int runStart = 0;
  for (int i = 1; i < list.Count();) {
    if (list.CompareStrings(list[runStart], list[i]) != 0) {
      runStart = i++;
      continue;
    }
    bool repeat = false;
    for (int k = runStart; k < i && !repeat; ++k) repeat = list[k] == list[i];
    if (repeat) {
      list.Delete(i);
    } else {
      ++i;
    }
  }
}

void RemoveDuplicateLinesUnsorted(TStringList& list) {
  std::unordered_set<std::string> seen;
  TStringList kept = list;
  kept.Clear();
  for (int i = 0; i < list.Count(); ++i) {
    if (seen.insert(list[i]).second) kept.AddItem(list.Item(i));
  }
  list = std::move(kept);
}

bool ListRoundTripChanged(TStringList& list) {
  const int before = list.Count();
  const std::string text = list.Text();
  list.SetText(text);
  return list.Count() != before;
}

void BubbleSortList(TStringList& list,
                    const std::function<int(const std::string&, const std::string&)>& compare) {
  EditLines(list, [&compare](TStringList& lines) {
    // A consistent comparison needs at most Count() passes; the bound keeps an
    // inconsistent one from looping for ever.
    for (int pass = 0; pass <= lines.Count(); ++pass) {
      bool exchanged = false;
      for (int i = 0; i + 1 < lines.Count(); ++i) {
        if (compare(lines[i], lines[i + 1]) > 0) {
          lines.Exchange(i, i + 1);
          exchanged = true;
        }
      }
      if (!exchanged) break;
    }
  });
}

void AlignTildeColumns(TStringList& list, int maxColumn) {
  EditLines(list, [maxColumn](TStringList& lines) {
    // Every pass removes one "~" from at least one line, so the passes end.
    for (;;) {
      std::size_t column = 0;  // 1-based; 0 = no line has a "~"
      for (int i = 0; i < lines.Count(); ++i) {
        auto p = lines[i].find('~');
        if (p != std::string::npos) column = std::max(column, p + 1);
      }
      if (column == 0) return;
      const std::size_t capped =
          maxColumn < 1 ? 0 : std::min(column, static_cast<std::size_t>(maxColumn));
      for (int i = 0; i < lines.Count(); ++i) {
        auto p = lines[i].find('~');
        if (p == std::string::npos) continue;
        std::string line = lines[i];
        line.erase(p, 1);
        if (capped > p + 1) line.insert(p, capped - (p + 1), ' ');
        lines.SetString(i, std::move(line));
      }
    }
  });
}

void WrapLongLines(TStringList& list, int width, bool keepIndent) {
  EditLines(list, [width, keepIndent](TStringList& lines) {
    const std::size_t limit = width > 0 ? static_cast<std::size_t>(width) : 0;
    // Each new line is shorter than the line it was cut from (the break lies
    // after the leading spaces), so the loop ends.
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string line = lines[i];
      if (line.size() <= limit) continue;
      std::size_t indent = 0;
      while (indent < line.size() && line[indent] == ' ') ++indent;
      // The last space at or before position `width` (0-based index < limit).
      std::size_t cut = std::string::npos;
      for (std::size_t k = std::min(limit, line.size()); k > 0; --k) {
        if (line[k - 1] == ' ') {
          cut = k - 1;
          break;
        }
      }
      if (cut == std::string::npos || cut < indent) {
        // None, or only leading spaces: the first space past `width` that is
        // not a leading one.
        cut = line.find(' ', std::max(limit, indent));
        if (cut == std::string::npos) continue;
      }
      std::string rest = line.substr(cut + 1);
      if (keepIndent) rest.insert(0, indent, ' ');
      lines.SetString(i, line.substr(0, cut + 1));
      lines.Insert(i + 1, std::move(rest));
    }
  });
}

void PadLinesRight(TStringList& list, int width, char fill) {
  if (width <= 0) return;
  EditLines(list, [width, fill](TStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i) {
      const std::size_t target = static_cast<std::size_t>(width);
      if (lines[i].size() < target) {
        std::string line = lines[i];
        line.append(target - line.size(), fill);
        lines.SetString(i, std::move(line));
      }
    }
  });
}

std::string CommaTextValue(std::string_view commaText, std::string_view name) {
  TStringList list;
  list.SetCommaText(commaText);
  return list.Values(name);
}

std::string LinesValue(std::string_view text, std::string_view name) {
  TStringList list;
  list.SetText(text);
  return list.Values(name);
}

void CommaTextSetValue(std::string_view name, std::string_view value, std::string& commaText) {
  TStringList list;
  list.SetCommaText(commaText);
  list.SetValue(name, value);
  commaText = list.CommaText();
}

std::string TextToCommaText(std::string_view text) {
  TStringList list;
  list.SetText(text);
  return list.CommaText();
}

std::string CommaTextToLines(std::string_view commaText) {
  TStringList list;
  list.SetCommaText(commaText);
  return JoinStringList(list, "\r\n");
}

std::string MergeCommaTexts(std::string_view first, std::string_view second, bool keepDuplicates) {
  if (first.empty() || first == "\"\"") return std::string(second);
  if (second.empty() || second == "\"\"") return std::string(first);
  TStringList lines;
  lines.SetCommaText(first);
  TStringList more;
  more.SetCommaText(second);
  lines.AddStrings(more);
  if (!keepDuplicates) RemoveDuplicateLinesUnsorted(lines);
  return lines.CommaText();
}

// ---------------------------------------------------------------------------
// Files and file types

bool MatchesFileMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*") return true;
  // Greedy matching with one back-tracking point: linear in practice and
  // never exponential, whatever the mask.
  std::size_t n = 0;
  std::size_t m = 0;
  std::size_t starMask = std::string_view::npos;
  std::size_t starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() &&
               (mask[m] == '?' || LowerChar1252(static_cast<unsigned char>(mask[m])) ==
                                      LowerChar1252(static_cast<unsigned char>(name[n])))) {
      ++n;
      ++m;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void ListSubfolders(const std::string& folder, bool recursive, TStringList& list) {
  // An explicit stack instead of recursion: deep trees cannot exhaust the
  // thread's stack.
  std::vector<std::string> pending{WithTrailingSlash(folder)};
  while (!pending.empty()) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    std::vector<std::string> found;
    for (const auto& entry : SortedEntries(current)) {
      if (IsRealFolder(entry)) found.push_back(current + entry.path().filename().string() + "/");
    }
    if (!recursive) {
      for (auto& path : found) list.Add(std::move(path));
      continue;
    }
    // Depth first, in name order: each folder is listed just before its own
    // subfolders. Listing happens as folders are taken from the stack.
    for (auto it = found.rbegin(); it != found.rend(); ++it) pending.push_back(*it);
    if (current != WithTrailingSlash(folder)) list.Add(current);
  }
}

void ListFilesInDir(const std::string& folder, const std::string& mask, bool withSubfolders,
                    int maxCount, TStringList& list) {
  std::error_code error;
  if (folder.size() <= 1 || !fs::is_directory(folder, error)) return;
  const std::string base = WithTrailingSlash(folder);
  auto listFolder = [&](const std::string& path) {
    for (const auto& entry : SortedEntries(path)) {
      if (list.Count() >= maxCount) return;
      const std::string name = entry.path().filename().string();
      if (IsPlainFile(entry) && MatchesFileMask(name, mask)) list.Add(path + name);
    }
  };
  listFolder(base);
  if (list.Count() >= maxCount || !withSubfolders) return;
  TStringList subfolders;
  ListSubfolders(base, true, subfolders);
  for (int i = 0; i < subfolders.Count() && list.Count() < maxCount; ++i) listFolder(subfolders[i]);
}

int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date) {
  std::error_code error;
  double cutOff = 0;
  if (!fs::is_directory(folder, error) || !DateTimeAsFileSeconds(date, cutOff)) return -1;
  const std::string base = WithTrailingSlash(folder);
  int deleted = 0;
  for (const auto& entry : SortedEntries(base)) {
    const std::string name = entry.path().filename().string();
    if (!IsPlainFile(entry) || !MatchesFileMask(name, mask)) continue;
    double created = 0;
    if (!FileCreationSeconds(base + name, created) || created >= cutOff) continue;
    if (DeleteOneFile(base + name)) ++deleted;
  }
  return deleted;
}

std::int64_t FileSizeOf(const std::string& path) {
  std::error_code error;
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.find_first_of("*?") == std::string::npos) {
    if (!fs::is_regular_file(path, error)) return -1;
    auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  for (const auto& entry : SortedEntries(folder)) {
    if (!IsPlainFile(entry) || !MatchesFileMask(entry.path().filename().string(), name)) continue;
    auto size = entry.file_size(error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
  return -1;
}

bool AppendTextToFile(std::string_view text, const std::string& path, bool onlyExisting) {
  if (text.empty()) return false;
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  if (!onlyExisting) flags |= O_CREAT;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  return written == text.size() && closed;
}

std::string GetFileExtension(std::string_view fileName) {
  std::size_t end = fileName.size();
  while (end > 0 && fileName[end - 1] == '.') --end;
  std::string_view name = fileName.substr(0, end);
  auto dot = name.find_last_of("./\\:");
  if (dot == std::string_view::npos || name[dot] != '.') return {};
  return std::string(name.substr(dot));
}

bool ContentTypeForExtension(std::string_view extension, std::string& type) {
  std::string dotted(extension);
  if (dotted.empty() || dotted.front() != '.') dotted.insert(0, ".");
  if (platform::MimeTypeForExtension(dotted, type)) return true;
  type = "application/octet-stream";
  return false;
}

bool ContentTypeForFileName(std::string_view fileName, std::string& type) {
  return ContentTypeForExtension(GetFileExtension(fileName), type);
}

bool ExtensionForContentType(std::string_view type, std::string& extension) {
  if (platform::ExtensionForMimeType(type, extension)) return true;
  extension = ".txt";
  return false;
}

std::string ProgramForExtension(std::string_view /*extension*/) {
  return {};
}

// ---------------------------------------------------------------------------
// Numbers and bits

bool IsBitSet8(int bit, std::uint8_t value) {
  return bit >= 0 && bit < 8 && (value >> bit) & 1;
}

void SetBit8(int bit, std::uint8_t& value) {
  if (bit >= 0 && bit < 8) value = static_cast<std::uint8_t>(value | (1u << bit));
}

void ClearBit8(int bit, std::uint8_t& value) {
  if (bit >= 0 && bit < 8) value = static_cast<std::uint8_t>(value & ~(1u << bit));
}

bool IsBitSet32(int bit, std::uint32_t value) {
  return bit >= 0 && bit < 32 && (value >> bit) & 1u;
}

void SetBit32(int bit, std::uint32_t& value) {
  if (bit >= 0 && bit < 32) value |= (1u << bit);
}

void ClearBit32(int bit, std::uint32_t& value) {
  if (bit >= 0 && bit < 32) value &= ~(1u << bit);
}

std::uint32_t BitChangeMask(std::uint32_t value) {
  return value ^ (value >> 1);
}

void SortCardinalArray(std::vector<std::uint32_t>& values, int lastIndex, bool ascending) {
  const int last = std::min(lastIndex, static_cast<int>(values.size()) - 1);
  for (bool exchanged = true; exchanged;) {
    exchanged = false;
    for (int i = 0; i < last; ++i) {
      bool outOfOrder = ascending ? values[i] > values[i + 1] : values[i] < values[i + 1];
      if (outOfOrder) {
        std::swap(values[i], values[i + 1]);
        exchanged = true;
      }
    }
  }
}

double PercentileRank(const std::vector<std::uint32_t>& sorted, int lastIndex,
                      std::uint32_t value) {
  const int last = std::min(lastIndex, static_cast<int>(sorted.size()) - 1);
  if (last < 1) return 0.5;
  for (int i = 0; i <= last; ++i) {
    if (sorted[i] > value) return static_cast<double>(i) / (last + 1);
  }
  return 0.99;
}

double RampScore(double exponent, double value, double low, double high) {
  if (value <= low) return 0;
  if (value >= high) return 1;
  double score = std::pow((value - low) / (high - low), std::fabs(exponent));
  return exponent < 0 ? 1 - score : score;
}

double SharpenProbability(double p) {
  double d = 2 * p - 1;
  return (d * d * d + 1) / 2;
}

// ---------------------------------------------------------------------------
// Threads and messages

bool IsMainThread() {
  return platform::OnMainThread();
}

bool ProcessMessagesIfMain() {
  if (!platform::OnMainThread()) return false;
  platform::RunProcessMessagesHook();
  return true;
}

void PumpThreadMessages(std::intptr_t /*window*/) {}

bool IsValidHandle(std::intptr_t handle) {
  return handle != 0 && handle != -1;
}

// ---------------------------------------------------------------------------
// Developer mode

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] != nullptr) arguments.emplace_back(argv[i]);
  }
  std::lock_guard<std::mutex> lock(CommandLineMutex());
  CommandLineArguments() = std::move(arguments);
}

bool IsDeveloperMode() {
  if (GetHostNameOrLocal() == kDeveloperHostName) return true;
  {
    std::lock_guard<std::mutex> lock(CommandLineMutex());
    for (const auto& argument : CommandLineArguments()) {
      if (SameText1252(argument, "-Vostek")) return true;
    }
  }
  return GetEnvironmentVar("IsVostek") == "Yes";
}

namespace detail {
void SetDeleteFileForTests(std::function<bool(const std::string&)> deleteFile) {
  std::lock_guard<std::mutex> lock(DeleteSeamMutex());
  DeleteSeam() = std::move(deleteFile);
}
}  // namespace detail

}  // namespace halvorn
