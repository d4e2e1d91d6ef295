#include "common/hash.h"

#include <cassert>
#include <cstdint>

#include "common/alloc.h"

namespace {

// Removed entries of every table, reused before fresh memory is taken.
HashEntry* free_pool;

uint32_t address_hash(const void* key) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

int address_compare(const void* a, const void* b) { return a == b ? 0 : 1; }

HashEntry** bucket_of(const HashTable* t, const void* key) {
  return &t->buckets[t->hash(key) % t->size];
}

}  // namespace

HashTable* hash_new(uint32_t size, HashFunction hash, CompareFunction compare) {
  assert(size != 0);
  HashTable* t = static_cast<HashTable*>(xmalloc(sizeof(HashTable)));
  t->size = size;
  t->hash = hash ? hash : address_hash;
  t->compare = compare ? compare : address_compare;
  t->buckets = static_cast<HashEntry**>(xmalloc(size * static_cast<uint32_t>(sizeof(HashEntry*))));
  return t;
}

int hash_insert(HashTable* t, const void* key, void* value) {
  HashEntry** link = bucket_of(t, key);
  for (; *link; link = &(*link)->next) {
    if (t->compare((*link)->key, key) == 0) return 0;
  }
  HashEntry* e;
  if (free_pool) {
    e = free_pool;
    free_pool = e->next;
  } else {
    e = static_cast<HashEntry*>(xmalloc(sizeof(HashEntry)));
  }
  e->value = value;
  e->key = key;
  e->next = nullptr;
  *link = e;
  t->count++;
  return 1;
}

void* hash_remove(HashTable* t, const void* key) {
  for (HashEntry** link = bucket_of(t, key); *link; link = &(*link)->next) {
    HashEntry* e = *link;
    if (t->compare(e->key, key) != 0) continue;
    *link = e->next;
    void* value = e->value;
    e->next = free_pool;
    free_pool = e;
    t->count--;
    return value;
  }
  return nullptr;
}

void* hash_lookup(const HashTable* t, const void* key) {
  for (HashEntry* e = *bucket_of(t, key); e; e = e->next) {
    if (t->compare(e->key, key) == 0) return e->value;
  }
  return nullptr;
}
