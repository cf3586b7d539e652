// The replaced global allocation functions of the engine tests: plain malloc and free, except
// when a test asks for a failure (engine_harness.h).
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "engine_harness.h"

namespace {

thread_local int tAllocationsUntilFailure = 0;
std::atomic<size_t> gFailFromBytes{std::numeric_limits<size_t>::max()};

}  // namespace

namespace ksrn::test {

void FailNthAllocationOnThisThread(int n) { tAllocationsUntilFailure = n; }

void FailAllocationsFrom(size_t bytes) {
  gFailFromBytes.store(bytes == 0 ? std::numeric_limits<size_t>::max() : bytes);
}

}  // namespace ksrn::test

void* operator new(size_t size) {
  if ((tAllocationsUntilFailure > 0 && --tAllocationsUntilFailure == 0) ||
      size >= gFailFromBytes.load(std::memory_order_relaxed)) {
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
