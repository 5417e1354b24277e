// TStringList: the ordered list of texts that nearly every stored value and
// settings record of the program passes through.
//
// Each line is a byte string and may carry an object reference (a pointer the
// list never owns) and a 64-bit number (the address books and the log attach
// counters and ids to lines). The list is a plain value: copying it copies the
// lines, their pointers and their numbers. Not thread-safe: a list shared
// between threads needs its owner's lock.
//
// Indexes are 0-based; an index outside 0 .. Count()-1 given to an accessor
// throws std::out_of_range, which is a programming error, not bad input.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

// What Add does on a sorted list when the line is already there.
enum class TDuplicates {
  dupIgnore,  // the line is not added; Add answers the index of the one present
  dupAccept,  // the line is added next to its equals
  dupError,   // Add throws EStringListError
};

// Raised for misuse of a list: a duplicate refused by dupError, or Insert and
// SetString on a sorted list (which would break its order).
class EStringListError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class TStringList {
 public:
  // One line with what is paired with it.
  struct TItem {
    std::string Text;
    void* Object = nullptr;
    std::int64_t Number = 0;
    bool operator==(const TItem&) const = default;
  };

  TStringList() = default;
  // A list holding the given lines, in order.
  TStringList(std::initializer_list<std::string> lines);

  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }

  // The text of line i.
  const std::string& operator[](int i) const { return Strings(i); }
  const std::string& Strings(int i) const;
  void SetString(int i, std::string text);

  void* Objects(int i) const;
  void SetObject(int i, void* object);
  std::int64_t Numbers(int i) const;
  void SetNumber(int i, std::int64_t number);
  const TItem& Item(int i) const;

  // Appends a line and answers its index. A sorted list puts it in its
  // sorted place instead; with dupIgnore an existing equal line is kept and
  // its index answered.
  int Add(std::string text);
  int AddObject(std::string text, void* object);
  int AddNumber(std::string text, std::int64_t number);
  // Appends a line with both its object and its number.
  int AddItem(TItem item);
  // Appends every line of another list with what is paired with it.
  void AddStrings(const TStringList& other);
  // Inserts before index i (i == Count() appends).
  void Insert(int i, std::string text);
  void InsertObject(int i, std::string text, void* object);
  void Delete(int i);
  void Clear();
  void Exchange(int i, int j);
  // Moves line `from` so that it ends up at index `to`.
  void Move(int from, int to);

  // The index of the first line equal to the text (see CaseSensitive), -1 when
  // none. A sorted list answers by binary search.
  int IndexOf(std::string_view text) const;
  // The index of the first line paired with the object, -1 when none.
  int IndexOfObject(const void* object) const;

  // Comparison of lines for IndexOf, Sort and duplicates: exact when case
  // sensitive, else ignoring case with the code page 1252 table. Off by default.
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool value);

  // A sorted list keeps its lines in order (Add finds the place; Insert and
  // SetString throw). Switching it on sorts the list unless its lines are
  // already in order (checked in one pass).
  bool Sorted() const { return FSorted; }
  void SetSorted(bool value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates value) { FDuplicates = value; }
  // Binary search of a sorted list: true when found; index is where the text
  // is, or where it would be inserted. On an unsorted list the answer is
  // meaningless.
  bool Find(std::string_view text, int& index) const;

  // Sorts the lines (stable) by the list's comparison.
  void Sort();
  // Sorts by a comparison answering <0, 0 or >0 (stable). Turns Sorted off.
  void CustomSort(const std::function<int(const std::string&, const std::string&)>& compare);
  // Compares two texts as this list does.
  int CompareStrings(std::string_view a, std::string_view b) const;

  // name=value access. The name of a line is the text before its first "=",
  // empty when it has none; the value is the text after that "=", empty when
  // there is none. Names match ignoring case (code page 1252).
  std::string Names(int i) const;
  std::string ValueFromIndex(int i) const;
  // The index of the first line whose name matches, -1 when none. A line
  // without "=" has no name and never matches.
  int IndexOfName(std::string_view name) const;
  // The value of the first line whose name matches; empty when none.
  std::string Values(std::string_view name) const;
  // Sets name=value in the first matching line, or appends it; an empty value
  // removes the first matching line instead.
  void SetValue(std::string_view name, std::string_view value);

  // The lines, each followed by CR LF.
  std::string Text() const;
  // Replaces the lines by those of the text, split at CR LF, a lone CR and a
  // lone LF; a line break at the very end does not start another line. Zero
  // bytes are kept as ordinary characters. Objects and numbers are cleared.
  void SetText(std::string_view text);

  // The one-line form used in stored values: the lines joined by ",", a line
  // in double quotes (inner quotes doubled) when it has a character with a
  // code up to 32, a double quote or a comma; a list of one empty line is
  // written as two double quotes.
  std::string CommaText() const;
  // Replaces the lines by those of a comma text: characters with codes 1 to 32
  // (and zero bytes) before and between items are skipped; a quoted item runs
  // to its closing quote (a doubled quote stands for one; a missing closing
  // quote ends the item at the end of the text), an unquoted item to the next
  // character with a code up to 32 or the next comma; one comma between items
  // is skipped, and a comma with nothing after it gives an empty last line, so
  // that every list reads back from its comma text unchanged.
  void SetCommaText(std::string_view text);

  // Reads a file as text lines (SetText rules; the file's text ends at its
  // first zero byte, as with every stored text file). False, with the list
  // cleared, when the file cannot be read.
  bool LoadFromFile(const std::string& path);
  // Writes Text() to the file, replacing it. False when it cannot be written.
  bool SaveToFile(const std::string& path) const;

  // Lines only, in order (for tests and loops).
  std::vector<std::string> ToVector() const;
  bool operator==(const TStringList& other) const { return FItems == other.FItems; }

 private:
  void CheckIndex(int i) const;
  void CheckUnsorted(const char* operation) const;
  int InsertSorted(TItem item);

  std::vector<TItem> FItems;
  bool FCaseSensitive = false;
  bool FSorted = false;
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
};

}  // namespace halvorn
