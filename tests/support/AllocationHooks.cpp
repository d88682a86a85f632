#include "support/AllocationHooks.h"

#include <cstdlib>
#include <new>

// GCC pairs the inlined replacement new with free() and warns, though both sides use malloc/free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool t_fail = false;
thread_local size_t t_count = 0;
thread_local void (*t_beforeNext)() = nullptr;
}  // namespace

namespace Metrics::Testing {

void FailAllocations(bool on) { t_fail = on; }

size_t AllocationCount() { return t_count; }

void BeforeNextAllocation(void (*hook)()) { t_beforeNext = hook; }

}  // namespace Metrics::Testing

void* operator new(std::size_t size) {
    if (auto* hook = t_beforeNext) {
        t_beforeNext = nullptr;
        hook();
    }
    if (t_fail) {
        throw std::bad_alloc();
    }
    ++t_count;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t /*size*/) noexcept { std::free(p); }
