#include "foundation/threads/shared_lists.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace halvorn {
namespace {

struct TNamedList {
  explicit TNamedList(std::string name, TGlobalHolder<TNamedList>* holder = nullptr)
      : Name(std::move(name)), Holder(holder) {}
  // A list whose destructor reads the holder, as a list's clean-up may reach
  // the current list: freed under the holder's lock it would deadlock.
  ~TNamedList() {
    if (Holder != nullptr) SeenWhenFreed = Holder->Get() ? Holder->Get()->Name : "none";
  }
  bool HasName(std::string_view name) const { return name == Name; }
  std::string Name;
  TGlobalHolder<TNamedList>* Holder;
  inline static std::string SeenWhenFreed;
};

TEST(SharedListsTest, AReplacedListGoesOutsideTheLockAndOnlyWhenNoReaderHoldsIt) {
  TGlobalHolder<TNamedList> holder;
  EXPECT_EQ(holder.Get(), nullptr);
  holder.Set(std::make_shared<TNamedList>("first", &holder));
  std::shared_ptr<TNamedList> reader = holder.Get();
  TNamedList::SeenWhenFreed.clear();
  holder.Set(std::make_shared<TNamedList>("second"));
  // Still held by its reader: not freed, and the reader's copy is whole.
  EXPECT_EQ(TNamedList::SeenWhenFreed, "");
  EXPECT_EQ(reader->Name, "first");
  EXPECT_EQ(holder.Get()->Name, "second");
  reader.reset();
  EXPECT_EQ(TNamedList::SeenWhenFreed, "second");

  holder.Set(std::make_shared<TNamedList>("third", &holder));
  holder.Set(nullptr);  // freed in Set, which must not hold the lock then
  EXPECT_EQ(TNamedList::SeenWhenFreed, "none");
}

TEST(SharedListsTest, ItemLookUps) {
  using TRef = std::shared_ptr<TNamedList>;
  const TRef a = std::make_shared<TNamedList>("a");
  const TRef b = std::make_shared<TNamedList>("b");
  const TNamedList stranger("c");
  std::vector<TRef> items{a, b};

  EXPECT_EQ(IndexOfItem(items, b.get()), 1);
  EXPECT_EQ(IndexOfItem(items, &stranger), -1);
  EXPECT_EQ(FindItemByName(items, "b"), b);
  EXPECT_EQ(FindItemByName(items, "c"), nullptr);
  EXPECT_EQ(FindItemByName(items, ""), nullptr);

  EXPECT_EQ(RemoveItem(items, &stranger), nullptr);
  EXPECT_EQ(RemoveItem(items, a.get()), a);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], b);
  EXPECT_EQ(RemoveItem(items, a.get()), nullptr);
}

}  // namespace
}  // namespace halvorn
