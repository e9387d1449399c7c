// The heap block underneath Vector and the worker thread's handle array.
//
// Growth goes through one reallocation function so that running out of memory
// can be reproduced on demand: every caller reports it as a false result, and
// those paths must stay exercised.
#pragma once

#include <cstddef>
#include <cstdint>

namespace heap {

// Resizes `block` (null: allocates) to `bytes` bytes, keeping its contents.
// Returns null and leaves `block` untouched when memory runs out or when
// `bytes` is 0.
void* reallocate(void* block, size_t bytes);
// Frees a block from reallocate; null is allowed.
void release(void* block);

// Size in bytes of `count` elements of `elementSize` bytes, or 0 on overflow.
size_t arrayBytes(size_t count, size_t elementSize);

// Test support: after `successes` further reallocations succeed, every
// reallocation fails until failReallocationsAfter(kNever) is called.
constexpr int64_t kNever = -1;
void failReallocationsAfter(int64_t successes);

}  // namespace heap
