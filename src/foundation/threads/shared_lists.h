// The program-wide lists (tests, phrase lists, actions, rules, ...) and the
// look-ups their items share.
//
// TGlobalHolder keeps the one current list of a kind. Readers take a
// reference and work on it as long as they like; a list put in its place
// later does not pull it from under them. The list that is replaced is let go
// outside the holder's lock: freeing a large list (its destructor may log or
// take the list's own locks) never keeps a reader waiting, and never runs
// under a lock a reader might need from inside that destructor.
//
// The look-ups below work on a list's vector of items; the caller holds the
// list's own lock around them.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace halvorn {

template <class T>
class TGlobalHolder {
 public:
  TGlobalHolder() = default;
  TGlobalHolder(const TGlobalHolder&) = delete;
  TGlobalHolder& operator=(const TGlobalHolder&) = delete;

  // The current list, or null when none was set. Any thread.
  std::shared_ptr<T> Get() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FCurrent;
  }

  // Makes `list` the current one (null: none). The one it replaces goes when
  // its last reader lets it go, here (outside the lock) when there is none.
  // Any thread.
  void Set(std::shared_ptr<T> list) {
    std::shared_ptr<T> old;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      old = std::exchange(FCurrent, std::move(list));
    }
  }

 private:
  mutable std::mutex FMutex;
  std::shared_ptr<T> FCurrent;
};

// The position of `item` in `items`, -1 when it is not there.
template <class T>
int IndexOfItem(const std::vector<std::shared_ptr<T>>& items, const T* item) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i].get() == item) return static_cast<int>(i);
  return -1;
}

// Takes `item` out of `items` and answers it; null when it is not there.
template <class T>
std::shared_ptr<T> RemoveItem(std::vector<std::shared_ptr<T>>& items, const T* item) {
  const int index = IndexOfItem(items, item);
  if (index < 0) return nullptr;
  std::shared_ptr<T> removed = std::move(items[static_cast<std::size_t>(index)]);
  items.erase(items.begin() + index);
  return removed;
}

// The first item whose HasName(name) is true; null for an empty name or none.
template <class T>
std::shared_ptr<T> FindItemByName(const std::vector<std::shared_ptr<T>>& items,
                                  std::string_view name) {
  if (name.empty()) return nullptr;
  for (const std::shared_ptr<T>& item : items)
    if (item->HasName(name)) return item;
  return nullptr;
}

}  // namespace halvorn
