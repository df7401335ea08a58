// The test binary's one replacement of operator new and delete. The other
// forms of new and delete rest on these and on malloc() and free().
#include "alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocations{0};
std::atomic<long long> g_live_bytes{0};
}  // namespace

#if defined(__SANITIZE_ADDRESS__)

namespace alloc_counter {
bool Enabled() { return false; }
}  // namespace alloc_counter

#else

namespace alloc_counter {
bool Enabled() { return true; }
}  // namespace alloc_counter

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_live_bytes.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  g_live_bytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

#endif

namespace alloc_counter {

Window::Window() : allocations_at_open_(g_allocations.load()), live_bytes_at_open_(g_live_bytes.load()) {}

std::size_t Window::Allocations() const { return g_allocations.load() - allocations_at_open_; }

long long Window::LiveBytes() const { return g_live_bytes.load() - live_bytes_at_open_; }

}  // namespace alloc_counter
