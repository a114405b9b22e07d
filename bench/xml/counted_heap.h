// Heap bytes in use and their high-water mark, counted by allocation hooks: operator new and
// operator delete are replaced (in counted_heap.cpp) for strings and wrappers, and CountedAlloc /
// CountedFree are handed to pugixml for its tree.
#pragma once

#include <atomic>
#include <cstddef>

namespace ews_bench {

extern std::atomic<std::size_t> gLive, gPeak;

void* CountedAlloc(std::size_t size);
void CountedFree(void* p);

}  // namespace ews_bench
