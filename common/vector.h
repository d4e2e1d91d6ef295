// The one list type: a growable array of borrowed item pointers with a
// built-in walking cursor.
#pragma once

#include <cstdint>

struct Vec {
  uint32_t nitems;
  uint32_t nslots;
  uint32_t first_slots;
  uint32_t iter;
  void** slot_array;
};

Vec* vec_new();
void vec_free(Vec* p);
uint32_t vec_add(Vec* p, void* item);
void* vec_get(const Vec* p, uint32_t index);
uint32_t vec_count(const Vec* p);
void vec_rewind(Vec* p);
int vec_more(const Vec* p);
void* vec_next(Vec* p);
Vec* vec_clear(Vec* p);

// Typed access for callers that know what their list holds.
template <typename T>
T* vec_at(const Vec* p, uint32_t index) {
  return static_cast<T*>(vec_get(p, index));
}
