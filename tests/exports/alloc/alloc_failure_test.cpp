// Allocation through the exports (Linux only): every allocation that KSRN_Request makes fails in
// turn, and each call answers 8 or succeeds, leaves nothing held, and the library goes on serving
// requests; a decompression bomb never makes the library ask for more than the body limit.
//
// The hook: this program replaces the global operator new and delete. The library is dlopen'ed
// and links the shared C++ runtime, so its allocations bind to the program's definitions, which
// the dynamic linker finds first; no preload and no link-time wrapping are needed. The library
// itself allocates only through operator new (it never calls malloc), so that is what counts.
// Under AddressSanitizer the replacements allocate with malloc and free, which it intercepts, so
// its leak check still sees every block. Windows has no such interposition for a DLL's runtime,
// which is linked into it, so the suite is built on Linux only.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "export_test_support.h"

namespace {

// Counting is per thread: only the calling thread's allocations inside the call are failed,
// never those of the engine's workers meanwhile.
thread_local int64_t tAllocations = 0;
thread_local int64_t tFailAt = 0;  // 0: nothing fails
thread_local bool tFailed = false;
// The largest block asked for by any thread.
std::atomic<std::size_t> gLargestBlock{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  if (tFailAt > 0 && ++tAllocations == tFailAt) {
    tFailed = true;
    return nullptr;
  }
  for (std::size_t largest = gLargestBlock.load();
       size > largest && !gLargestBlock.compare_exchange_weak(largest, size);) {
  }
  if (alignment <= alignof(std::max_align_t)) {
    return std::malloc(size == 0 ? 1 : size);
  }
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
  if (void* block = Allocate(size, alignment)) {
    return block;
  }
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return AllocateOrThrow(n, 0); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace ksrn::test {
namespace {

TEST_F(ExportTest, EveryAllocationOfARequestCanFail) {
  // A POST with headers and a body, so that every part of a submission is copied.
  const Text url = BenchUrl("api.kraken.com", "/echo");
  const Text headers = KSRN_TEXT("X-Api-Key: k1\r\nX-Time: 12:30:00\r\n");
  const uint8_t body[] = {'{', '}'};
  int64_t failAt = 1;
  for (;; ++failAt) {
    ASSERT_LT(failAt, 10000) << "the allocations never end";
    tAllocations = 0;
    tFailed = false;
    tFailAt = failAt;
    const int32_t id =
        api.Request(url.c_str(), KSRN_TEXT("POST"), headers.c_str(), body, sizeof body, kFinishMs);
    const uint32_t error = api.GetLastError();
    tFailAt = 0;
    if (!tFailed) {  // every allocation of the call has been failed once
      ASSERT_NE(id, 0) << "last error " << error;
      ASSERT_TRUE(WaitReady(id));
      EXPECT_EQ(api.Succeeded(id), 1);
      EXPECT_EQ(api.Free(id), 1);
      break;
    }
    SCOPED_TRACE(testing::Message() << "allocation " << failAt << " failed");
    if (id == 0) {
      EXPECT_EQ(error, 8u);
    } else {
      EXPECT_EQ(error, 0u);
      ASSERT_TRUE(WaitReady(id));
      EXPECT_EQ(api.Succeeded(id), 1);
      EXPECT_EQ(api.Free(id), 1);
    }
    EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
  }
  std::printf("KSRN_Request made %lld allocations\n", static_cast<long long>(failAt - 1));
  EXPECT_GT(failAt, 1) << "no allocation was seen: the hook is not in use";
  const int32_t id = api.Get(BenchUrl("api.kraken.com", "/bytes/10").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(api.Succeeded(id), 1);
}

// A gzip body that inflates past the body limit ends with 223, and no block on the way ever
// holds more than the limit: the decoded body is never gathered whole.
TEST_F(ExportTest, ADecompressionBombNeverTakesMoreThanTheLimit) {
  gLargestBlock = 0;
  const int32_t id = api.Get(BenchUrl("api.kraken.com", "/fault/gzip/bomb").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(api.GetRequestError(id), 223u);
  EXPECT_LE(gLargestBlock.load(), std::size_t{4} << 20);
}

}  // namespace
}  // namespace ksrn::test
