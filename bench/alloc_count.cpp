// The program's operator new: malloc plus one count. The other forms of new
// and all forms of delete rest on this one and on free().
#include "alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

namespace bench {

std::size_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace bench
