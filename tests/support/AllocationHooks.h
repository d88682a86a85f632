#pragma once

#include <cstddef>

namespace Metrics::Testing {

// Linked only into the tests that need it: replaces the global operator new for the whole
// process, the library included.

// Makes every allocation of the calling thread throw std::bad_alloc while on.
void FailAllocations(bool on);
// How many allocations the calling thread has made.
size_t AllocationCount();
// Runs hook at the start of the calling thread's next allocation, once: a way to hold a thread
// inside a call at its first allocation.
void BeforeNextAllocation(void (*hook)());

}  // namespace Metrics::Testing
