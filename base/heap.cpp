#include "base/heap.h"

#include <atomic>
#include <cstdlib>

namespace heap {

namespace {
// Remaining successes before injected failures start; kNever when off.
std::atomic<int64_t> g_successesLeft{kNever};

bool injectedFailure() {
    int64_t left = g_successesLeft.load(std::memory_order_relaxed);
    while (left != kNever) {
        if (left == 0) return true;
        if (g_successesLeft.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return false;
    }
    return false;
}
}  // namespace

void* reallocate(void* block, size_t bytes) {
    if (bytes == 0 || injectedFailure()) return nullptr;
    return std::realloc(block, bytes);
}

void release(void* block) { std::free(block); }

size_t arrayBytes(size_t count, size_t elementSize) {
    if (elementSize != 0 && count > SIZE_MAX / elementSize) return 0;
    return count * elementSize;
}

void failReallocationsAfter(int64_t successes) {
    g_successesLeft.store(successes < 0 ? kNever : successes, std::memory_order_relaxed);
}

}  // namespace heap
