#include "bench/allocation_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
std::atomic<uint64_t> counted{0};
}  // namespace

void count_this_thread_allocations(bool on) {
  counting = on;
}
uint64_t counted_allocations() {
  return counted.load();
}
void reset_counted_allocations() {
  counted = 0;
}

// Kept in a file of their own: where a caller's code inlines them, the
// compiler mistakes the free() of a pointer from this operator new for a
// mismatch.
void* operator new(size_t size) {
  if (counting) counted.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) std::abort();  // no exceptions in this program
  return p;
}
void* operator new[](size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
