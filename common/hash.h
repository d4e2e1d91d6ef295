// A chained hash table of borrowed keys and values.
#pragma once

#include <cstdint>

using HashFunction = uint32_t (*)(const void* key);
using CompareFunction = int (*)(const void* a, const void* b);

struct HashEntry {
  void* value;
  const void* key;
  HashEntry* next;
};

struct HashTable {
  uint32_t size;
  uint32_t count;
  HashFunction hash;
  CompareFunction compare;
  HashEntry** buckets;
};

// Without a hash or compare function, a key is its own address.
HashTable* hash_new(uint32_t size, HashFunction hash, CompareFunction compare);
int hash_insert(HashTable* t, const void* key, void* value);
void* hash_remove(HashTable* t, const void* key);
void* hash_lookup(const HashTable* t, const void* key);
