#include "foundation/text/hash_table.h"

#include <gtest/gtest.h>

namespace halvorn {
namespace {

std::uint16_t Identity(std::uint32_t key) {
  return static_cast<std::uint16_t>(key);
}
int Compare(std::uint32_t a, std::uint32_t b) {
  return a == b ? 0 : (a < b ? -1 : 1);
}

TEST(HashTable, SmallSizesFallBackToNinetySevenBuckets) {
  struct Row {
    std::int32_t requested, size;
  } rows[] = {{-5, 97}, {0, 97}, {3, 97}, {4, 4}, {1000, 1000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.requested);
    EXPECT_EQ(THashTable(row.requested, Identity, Compare).Size(), row.size);
  }
}

TEST(HashTable, KeysSharingABucketAreKeptApart) {
  THashTable table(1000, Identity, Compare);
  int five = 5, thousandFive = 1005;
  EXPECT_EQ(table.Add(5, &five), 0);
  EXPECT_EQ(table.Add(1005, &thousandFive), 1);  // same bucket, second entry
  EXPECT_EQ(table.LookUp(5), &five);
  EXPECT_EQ(table.LookUp(1005), &thousandFive);
  EXPECT_EQ(table.LookUp(2005), nullptr);

  EXPECT_EQ(table.LookUpAndRemove(5), &five);
  EXPECT_EQ(table.LookUp(5), nullptr);
  EXPECT_EQ(table.LookUp(1005), &thousandFive);
  EXPECT_EQ(five, 5);  // the object itself is untouched
}

TEST(HashTable, HashValuesAboveTheSizeWrapAround) {
  THashTable table(
      97, [](std::uint32_t) -> std::uint16_t { return 0xFFFF; }, Compare);
  int a = 1, b = 2;
  table.Add(1, &a);
  table.Add(70000, &b);
  EXPECT_EQ(table.LookUp(1), &a);
  EXPECT_EQ(table.LookUp(70000), &b);
}

TEST(HashTable, DuplicateKeyRaisesAndKeepsTheFirstEntry) {
  THashTable table(10, Identity, Compare);
  int first = 1, second = 2;
  table.Add(42, &first);
  try {
    table.Add(42, &second);
    FAIL() << "no exception";
  } catch (const EHashTableException& e) {
    EXPECT_STREQ(e.what(), "Item is all ready in the table.");
  }
  EXPECT_EQ(table.LookUpAndRemove(42), &first);
  EXPECT_EQ(table.LookUp(42), nullptr);  // the duplicate was never stored
}

TEST(HashTable, RemovingAMissingKeyChangesNothing) {
  THashTable table(10, Identity, Compare);
  int a = 1;
  table.Add(3, &a);
  EXPECT_EQ(table.LookUpAndRemove(13), nullptr);  // same bucket, other key
  EXPECT_EQ(table.LookUpAndRemove(4), nullptr);   // bucket never used
  EXPECT_EQ(table.LookUp(3), &a);
}

TEST(HashTable, WithoutHashFunctionNothingIsAddedAndLookUpsRaise) {
  THashTable table(10, nullptr, Compare);
  int a = 1;
  EXPECT_EQ(table.Add(1, &a), -1);
  struct Row {
    const char* operation;
    void* (*call)(THashTable&);
  } rows[] = {
      {"Unable to create hash value for current key @ THashTable.LookUp",
       [](THashTable& t) { return t.LookUp(1); }},
      {"Unable to create hash value for current key @ THashTable.LookUpAndRemove",
       [](THashTable& t) { return t.LookUpAndRemove(1); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.operation);
    try {
      row.call(table);
      ADD_FAILURE() << "no exception";
    } catch (const EHashTableException& e) {
      EXPECT_STREQ(e.what(), row.operation);
    }
  }
}

TEST(HashTable, WithoutCompareFunctionDuplicatesAreAcceptedAndNothingIsFound) {
  THashTable table(10, Identity, nullptr);
  int a = 1, b = 2;
  EXPECT_EQ(table.Add(7, &a), 0);
  EXPECT_EQ(table.Add(7, &b), 1);
  EXPECT_EQ(table.LookUp(7), nullptr);
  EXPECT_EQ(table.LookUpAndRemove(7), nullptr);
}

}  // namespace
}  // namespace halvorn
