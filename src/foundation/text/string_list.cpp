#include "foundation/text/string_list.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

namespace {

// Whether a line must be quoted in a comma text.
bool NeedsQuotes(const std::string& line) {
  for (unsigned char c : line) {
    if (c <= 32 || c == '"' || c == ',') return true;
  }
  return false;
}

}  // namespace

TStringList::TStringList(std::initializer_list<std::string> lines) {
  FItems.reserve(lines.size());
  for (const auto& line : lines) FItems.push_back(TItem{line, nullptr, 0});
}

void TStringList::CheckIndex(int i) const {
  if (i < 0 || i >= Count()) {
    throw std::out_of_range("TStringList index " + std::to_string(i) + " out of bounds (count " +
                            std::to_string(Count()) + ")");
  }
}

void TStringList::CheckUnsorted(const char* operation) const {
  if (FSorted) throw EStringListError(std::string(operation) + " not allowed on a sorted list");
}

const std::string& TStringList::Strings(int i) const {
  CheckIndex(i);
  return FItems[i].Text;
}

void TStringList::SetString(int i, std::string text) {
  CheckIndex(i);
  CheckUnsorted("SetString");
  FItems[i].Text = std::move(text);
}

void* TStringList::Objects(int i) const {
  CheckIndex(i);
  return FItems[i].Object;
}

void TStringList::SetObject(int i, void* object) {
  CheckIndex(i);
  FItems[i].Object = object;
}

std::int64_t TStringList::Numbers(int i) const {
  CheckIndex(i);
  return FItems[i].Number;
}

void TStringList::SetNumber(int i, std::int64_t number) {
  CheckIndex(i);
  FItems[i].Number = number;
}

const TStringList::TItem& TStringList::Item(int i) const {
  CheckIndex(i);
  return FItems[i];
}

int TStringList::InsertSorted(TItem item) {
  int index = 0;
  if (Find(item.Text, index)) {
    switch (FDuplicates) {
      case TDuplicates::dupIgnore:
        return index;
      case TDuplicates::dupError:
        throw EStringListError("String list does not allow duplicates");
      case TDuplicates::dupAccept:
        // Find answers the first equal line; the new one goes after its equals.
        while (index < Count() && CompareStrings(FItems[index].Text, item.Text) == 0) ++index;
        break;
    }
  }
  FItems.insert(FItems.begin() + index, std::move(item));
  return index;
}

int TStringList::Add(std::string text) {
  return AddObject(std::move(text), nullptr);
}

int TStringList::AddObject(std::string text, void* object) {
  return AddItem(TItem{std::move(text), object, 0});
}

int TStringList::AddNumber(std::string text, std::int64_t number) {
  return AddItem(TItem{std::move(text), nullptr, number});
}

int TStringList::AddItem(TItem item) {
  if (FSorted) return InsertSorted(std::move(item));
  FItems.push_back(std::move(item));
  return Count() - 1;
}

void TStringList::AddStrings(const TStringList& other) {
  if (&other == this) {
    TStringList copy = other;
    AddStrings(copy);
    return;
  }
  for (const auto& item : other.FItems) {
    if (FSorted) {
      InsertSorted(item);
    } else {
      FItems.push_back(item);
    }
  }
}

void TStringList::Insert(int i, std::string text) {
  InsertObject(i, std::move(text), nullptr);
}

void TStringList::InsertObject(int i, std::string text, void* object) {
  CheckUnsorted("Insert");
  if (i < 0 || i > Count()) CheckIndex(i);
  FItems.insert(FItems.begin() + i, TItem{std::move(text), object, 0});
}

void TStringList::Delete(int i) {
  CheckIndex(i);
  FItems.erase(FItems.begin() + i);
}

void TStringList::Clear() {
  FItems.clear();
}

void TStringList::Exchange(int i, int j) {
  CheckIndex(i);
  CheckIndex(j);
  CheckUnsorted("Exchange");
  std::swap(FItems[i], FItems[j]);
}

void TStringList::Move(int from, int to) {
  CheckIndex(from);
  CheckIndex(to);
  CheckUnsorted("Move");
  if (from == to) return;
  TItem item = std::move(FItems[from]);
  FItems.erase(FItems.begin() + from);
  FItems.insert(FItems.begin() + to, std::move(item));
}

int TStringList::CompareStrings(std::string_view a, std::string_view b) const {
  if (FCaseSensitive) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return CompareText1252(a, b);
}

int TStringList::IndexOf(std::string_view text) const {
  if (FSorted) {
    int index = 0;
    return Find(text, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (CompareStrings(FItems[i].Text, text) == 0) return i;
  }
  return -1;
}

int TStringList::IndexOfObject(const void* object) const {
  for (int i = 0; i < Count(); ++i) {
    if (FItems[i].Object == object) return i;
  }
  return -1;
}

void TStringList::SetCaseSensitive(bool value) {
  if (value == FCaseSensitive) return;
  FCaseSensitive = value;
  if (FSorted) Sort();
}

void TStringList::SetSorted(bool value) {
  // A list built in order (a bulk load that sorted its lines once) needs only
  // the check, not a second sort.
  if (value && !FSorted &&
      !std::is_sorted(FItems.begin(), FItems.end(), [this](const TItem& a, const TItem& b) {
        return CompareStrings(a.Text, b.Text) < 0;
      }))
    Sort();
  FSorted = value;
}

bool TStringList::Find(std::string_view text, int& index) const {
  // Lower bound: the first line not ordered before the text.
  int low = 0;
  int high = Count();
  while (low < high) {
    int mid = low + (high - low) / 2;
    if (CompareStrings(FItems[mid].Text, text) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  index = low;
  return low < Count() && CompareStrings(FItems[low].Text, text) == 0;
}

void TStringList::Sort() {
  std::stable_sort(FItems.begin(), FItems.end(), [this](const TItem& a, const TItem& b) {
    return CompareStrings(a.Text, b.Text) < 0;
  });
}

void TStringList::CustomSort(
    const std::function<int(const std::string&, const std::string&)>& compare) {
  FSorted = false;
  std::stable_sort(FItems.begin(), FItems.end(), [&compare](const TItem& a, const TItem& b) {
    return compare(a.Text, b.Text) < 0;
  });
}

std::string TStringList::Names(int i) const {
  const std::string& line = Strings(i);
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int i) const {
  const std::string& line = Strings(i);
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    std::string_view line = FItems[i].Text;
    auto eq = line.find('=');
    if (eq != std::string_view::npos && SameText1252(line.substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append("=").append(value);
  if (i < 0) {
    Add(std::move(line));
  } else if (FSorted) {
    // Keep the order: the changed line may belong elsewhere.
    TItem item = FItems[i];
    item.Text = std::move(line);
    FItems.erase(FItems.begin() + i);
    InsertSorted(std::move(item));
  } else {
    FItems[i].Text = std::move(line);
  }
}

std::string TStringList::Text() const {
  std::size_t size = 0;
  for (const auto& item : FItems) size += item.Text.size() + 2;
  std::string result;
  result.reserve(size);
  for (const auto& item : FItems) result.append(item.Text).append("\r\n");
  return result;
}

void TStringList::SetText(std::string_view text) {
  std::vector<TItem> items;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      items.push_back(TItem{std::string(text.substr(start, i - start)), nullptr, 0});
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) items.push_back(TItem{std::string(text.substr(start)), nullptr, 0});
  FItems = std::move(items);
  if (FSorted) Sort();
}

std::string TStringList::CommaText() const {
  if (FItems.size() == 1 && FItems[0].Text.empty()) return "\"\"";
  std::string result;
  for (std::size_t k = 0; k < FItems.size(); ++k) {
    if (k > 0) result += ',';
    const std::string& line = FItems[k].Text;
    if (!NeedsQuotes(line)) {
      result += line;
      continue;
    }
    result += '"';
    for (char c : line) {
      if (c == '"') result += '"';
      result += c;
    }
    result += '"';
  }
  return result;
}

void TStringList::SetCommaText(std::string_view text) {
  std::vector<TItem> items;
  const std::size_t n = text.size();
  std::size_t p = 0;
  // Outside quotes, zero bytes are skipped like blanks: a text with a stray
  // zero must not stall the reader or drop what follows.
  auto skip_blanks = [&] {
    while (p < n && IsSpaceOrControlChar(static_cast<unsigned char>(text[p]))) ++p;
  };
  skip_blanks();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;  // the closing quote
          break;
        }
        item += text[p++];
      }
    } else {
      std::size_t start = p;
      while (p < n && text[p] != ',' && !IsSpaceOrControlChar(static_cast<unsigned char>(text[p])))
        ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(TItem{std::move(item), nullptr, 0});
    skip_blanks();
    if (p < n && text[p] == ',') {
      ++p;
      skip_blanks();
      // "a," names an empty last line; without this a list ending in an empty
      // line would lose it on the way back.
      if (p >= n) items.push_back(TItem{});
    }
  }
  FItems = std::move(items);
  if (FSorted) Sort();
}

bool TStringList::LoadFromFile(const std::string& path) {
  FItems.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  auto zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  SetText(bytes);
  return true;
}

bool TStringList::SaveToFile(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const std::string text = Text();
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

std::vector<std::string> TStringList::ToVector() const {
  std::vector<std::string> lines;
  lines.reserve(FItems.size());
  for (const auto& item : FItems) lines.push_back(item.Text);
  return lines;
}

}  // namespace halvorn
