#include "foundation/text/hash_table.h"

#include <utility>

namespace halvorn {

THashTable::THashTable(std::int32_t size, THashFn hashFn, TCompareFn compareFn)
    : FSize(size < 4 ? 97 : size),
      FHashFn(std::move(hashFn)),
      FCompareFn(std::move(compareFn)),
      FBuckets(static_cast<std::size_t>(FSize)) {}

THashTable::~THashTable() = default;

std::size_t THashTable::BucketIndex(std::uint32_t key, const char* operation) const {
  if (!FHashFn) {
    throw EHashTableException(std::string("Unable to create hash value for current key @ ") +
                              operation);
  }
  return static_cast<std::size_t>(FHashFn(key)) % static_cast<std::size_t>(FSize);
}

int THashTable::Add(std::uint32_t key, void* object) {
  if (!FHashFn) return -1;
  std::unique_ptr<TBucket>& bucket = FBuckets[BucketIndex(key, "THashTable.Add")];
  if (!bucket) bucket = std::make_unique<TBucket>();
  if (FCompareFn) {
    for (const TEntry& entry : *bucket) {
      if (FCompareFn(entry.Key, key) == 0) {
        throw EHashTableException("Item is all ready in the table.");
      }
    }
  }
  bucket->push_back({key, object});
  return static_cast<int>(bucket->size() - 1);
}

void* THashTable::LookUp(std::uint32_t key) const {
  const std::unique_ptr<TBucket>& bucket = FBuckets[BucketIndex(key, "THashTable.LookUp")];
  if (!bucket || !FCompareFn) return nullptr;
  for (const TEntry& entry : *bucket) {
    if (FCompareFn(entry.Key, key) == 0) return entry.Object;
  }
  return nullptr;
}

void* THashTable::LookUpAndRemove(std::uint32_t key) {
  const std::unique_ptr<TBucket>& bucket = FBuckets[BucketIndex(key, "THashTable.LookUpAndRemove")];
  if (!bucket || !FCompareFn) return nullptr;
  for (auto it = bucket->begin(); it != bucket->end(); ++it) {
    if (FCompareFn(it->Key, key) == 0) {
      void* object = it->Object;
      bucket->erase(it);
      return object;
    }
  }
  return nullptr;
}

}  // namespace halvorn
