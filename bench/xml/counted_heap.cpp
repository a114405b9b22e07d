// The counting allocation hooks (see counted_heap.h). They live in a file of their own so that the
// replaced operators are never inlined into the code they count.
#include "counted_heap.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace ews_bench {

std::atomic<std::size_t> gLive{0}, gPeak{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p) {
    const std::size_t live = gLive += malloc_usable_size(p);
    std::size_t peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void CountedFree(void* p) {
  if (!p) return;
  gLive -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace ews_bench

using ews_bench::CountedAlloc;
using ews_bench::CountedFree;

void* operator new(std::size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  CountedFree(p);
}
void operator delete[](void* p) noexcept {
  CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  CountedFree(p);
}
