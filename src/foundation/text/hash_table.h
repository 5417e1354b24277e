// A table from 32-bit keys to objects, with hashing and key comparison
// supplied by its user. The DNS resolver keeps its questions and answers in
// such tables.
//
// The table never owns, frees or copies the objects it maps to. It is not
// thread-safe: its user guards it with its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvorn {

// Raised by THashTable for a duplicate key and for look-ups without a hash
// function.
class EHashTableException : public std::runtime_error {
 public:
  explicit EHashTableException(const std::string& message) : std::runtime_error(message) {}
};

class THashTable {
 public:
  // Chooses the bucket: the value modulo Size().
  using THashFn = std::function<std::uint16_t(std::uint32_t key)>;
  // 0 when the two keys are the same.
  using TCompareFn = std::function<int(std::uint32_t key1, std::uint32_t key2)>;

  // A table of `size` buckets, or 97 when fewer than 4 are asked for. Either
  // function may be empty: without a hash function nothing is ever added and
  // look-ups raise; without a compare function duplicates are accepted and
  // look-ups find nothing.
  THashTable(std::int32_t size, THashFn hashFn, TCompareFn compareFn);
  ~THashTable();

  THashTable(const THashTable&) = delete;
  THashTable& operator=(const THashTable&) = delete;

  // Appends the entry to the key's bucket and answers its 0-based position in
  // that bucket. Answers -1 and adds nothing when the table has no hash
  // function. Raises EHashTableException ("Item is all ready in the table.")
  // and adds nothing when the compare function finds the key already there.
  int Add(std::uint32_t key, void* object);

  // The object of the first entry in the key's bucket whose key compares
  // equal, or nullptr. Raises EHashTableException without a hash function.
  void* LookUp(std::uint32_t key) const;

  // Like LookUp, and removes that entry (the object itself is untouched).
  void* LookUpAndRemove(std::uint32_t key);

  // The number of buckets.
  std::int32_t Size() const { return FSize; }

 private:
  struct TEntry {
    std::uint32_t Key;
    void* Object;
  };
  using TBucket = std::vector<TEntry>;

  std::size_t BucketIndex(std::uint32_t key, const char* operation) const;

  std::int32_t FSize;
  THashFn FHashFn;
  TCompareFn FCompareFn;
  // A bucket stays null until its first entry.
  std::vector<std::unique_ptr<TBucket>> FBuckets;
};

}  // namespace halvorn
