// A named region of memory that the processes of one user on this machine share, with a lock
// that survives the death of its holder: the home of state that several host processes keep
// together, such as per-host request budgets. Each platform has its own implementation
// (shared_region_posix.cpp, shared_region_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/mutex.h"

namespace ksrn {

// The longest region name.
inline constexpr size_t kMaxRegionNameChars = 64;

class CAPABILITY("mutex") SharedRegion {
 public:
  // Opens the region `name`, creating it zero-filled when it does not exist, of exactly `bytes`
  // bytes of caller data stamped with `layoutVersion`. name: 1 to 64 of A-Za-z0-9._- (the caller
  // checked it; a longer one is kErrorInvalidName). Null with error set when the region cannot be
  // trusted or made:
  //   kErrorAccessDenied (5): it exists but belongs to another user or is open to others (Linux:
  //     owner uid != geteuid() or mode other than 0600; Windows: an owner other than our user);
  //   kErrorRevisionMismatch (1306): it exists with another magic/layout version or another size;
  //   kErrorNotEnoughMemory (8); kErrorGenFailure (31) or a fitting Win32 code for other failures.
  // Safe when several processes open the same new name at once: exactly one initialises it and
  // the others wait (up to 1 s, then 31) until it is ready, never reading it half-made. A region
  // whose maker died before it was ready is made afresh by the next opener.
  static std::unique_ptr<SharedRegion> Open(std::string_view name, size_t bytes,
                                            uint32_t layoutVersion, uint32_t& error);
  // Unmaps; the named object stays for the other processes. Not while holding the lock.
  ~SharedRegion();
  SharedRegion(const SharedRegion&) = delete;
  SharedRegion& operator=(const SharedRegion&) = delete;

  // The caller's bytes, 64-byte aligned.
  void* Data();
  // Takes the lock, for the calling thread. Returns true when the previous holder died holding
  // it: the data may be half-updated and the caller repairs it before use (the lock is made
  // consistent again here). Throws std::system_error if the lock cannot be taken at all.
  bool Lock() ACQUIRE();
  // Gives the lock back; only on the thread that took it.
  void Unlock() noexcept RELEASE();

 private:
  SharedRegion() = default;

  void* mapping = nullptr;  // our header, then the caller's bytes
  size_t mappingBytes = 0;
#if defined(_WIN32)
  void* section = nullptr;
  void* mutex = nullptr;  // the named mutex; on POSIX the mutex lives in the header
#endif
};

}  // namespace ksrn
