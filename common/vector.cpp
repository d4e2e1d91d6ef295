#include "common/vector.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"

Vec* vec_new() {
  Vec* p = static_cast<Vec*>(xmalloc(sizeof(Vec)));
  p->first_slots = 10;
  return p;
}

void vec_free(Vec* p) {
  if (!p) return;
  free(p->slot_array);
  free(p);
}

static void grow(Vec* p) {
  if (p->nitems != p->nslots) return;
  uint32_t slots = p->nslots ? p->nslots * 2 : p->first_slots;
  void** a = static_cast<void**>(xmalloc(slots * static_cast<uint32_t>(sizeof(void*))));
  if (p->nitems > 0) {
    memcpy(a, p->slot_array, p->nitems * sizeof(void*));
    free(p->slot_array);
  }
  p->slot_array = a;
  p->nslots = slots;
}

uint32_t vec_add(Vec* p, void* item) {
  assert(p);
  grow(p);
  p->slot_array[p->nitems] = item;
  return p->nitems++;
}

void* vec_get(const Vec* p, uint32_t index) {
  return index < p->nitems ? p->slot_array[index] : nullptr;
}

uint32_t vec_count(const Vec* p) { return p->nitems; }

void vec_rewind(Vec* p) { p->iter = 0; }

int vec_more(const Vec* p) { return p->iter < p->nitems ? 1 : 0; }

void* vec_next(Vec* p) {
  if (p->iter >= p->nitems) return nullptr;
  return p->slot_array[p->iter++];
}

Vec* vec_clear(Vec* p) {
  p->nitems = 0;
  return p;
}
