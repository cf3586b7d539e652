// Request ids for the life of the process.
#pragma once

#include <atomic>
#include <cstdint>

namespace ksrn {

// The process's one source of request ids. It outlives every engine, so ids keep rising across
// a shutdown and a later init and are never handed out twice.
struct RequestIdAllocator {
  std::atomic<uint64_t> nextId{1};
};

}  // namespace ksrn
