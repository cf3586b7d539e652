// The shared region on Linux: a POSIX shared memory object of the user's own (mode 0600), whose
// header holds a robust process-shared mutex, so a process killed while holding it hands the
// next locker EOWNERDEAD instead of a lock that is never given back. Who made an object is never
// taken on trust: owner, mode, size and header are checked before its bytes are used.
#include "platform/shared_region.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "platform/steady_clock.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

inline constexpr uint32_t kMagic = 0x4B535231;  // "KSR1": this header's layout
inline constexpr mode_t kMode = 0600;
inline constexpr SteadyTime kReadyWaitNs = 1000 * kNanosecondsPerMillisecond;

struct alignas(64) Header {
  uint32_t magic;
  uint32_t layoutVersion;
  uint64_t bytes;
  uint32_t ready;  // set last, through std::atomic_ref, once the rest is made
  pthread_mutex_t mutex;
};
static_assert(sizeof(Header) % 64 == 0, "the caller's bytes start 64-byte aligned");
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free, "atomics work across processes");

uint32_t ErrorOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
      return kErrorNotEnoughMemory;
    default:
      return kErrorGenFailure;
  }
}

// Closes the descriptor on every way out of Open; the mapping keeps the object. The set-up
// lock is given back first: a mapping keeps the open file, and its flock, alive.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) {
      flock(fd, LOCK_UN);
      close(fd);
    }
  }
};

// Every opener makes or checks the header under an exclusive flock of the object, which the
// kernel drops when its holder dies: not ready under it means never made, or its maker died part
// way, and the holder makes it afresh. Bounded, since a stopped process may hold it.
bool LockForSetUp(int fd) {
  const SteadyTime deadline = SteadyNow() + kReadyWaitNs;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || SteadyNow() >= deadline) {
      return false;
    }
    const timespec pause{0, kNanosecondsPerMillisecond};
    nanosleep(&pause, nullptr);
  }
  return true;
}

// A zeroed region's header: a robust mutex that processes share, then ready.
uint32_t MakeHeader(void* mapping, size_t mappingBytes, uint32_t layoutVersion) {
  std::memset(mapping, 0, mappingBytes);
  Header* header = static_cast<Header*>(mapping);
  header->magic = kMagic;
  header->layoutVersion = layoutVersion;
  header->bytes = mappingBytes - sizeof(Header);
  pthread_mutexattr_t attributes;
  int result = pthread_mutexattr_init(&attributes);
  if (result != 0) {
    return ErrorOf(result);
  }
  result = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (result == 0) result = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (result == 0) result = pthread_mutex_init(&header->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (result != 0) {
    return ErrorOf(result);
  }
  std::atomic_ref<uint32_t>(header->ready).store(1, std::memory_order_release);
  return kErrorSuccess;
}

// Maps the object under its set-up lock, making it when it is new.
void* MapRegion(int fd, size_t mappingBytes, uint32_t layoutVersion, uint32_t& error) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    error = ErrorOf(errno);
    return nullptr;
  }
  // A size of 0 is an object nobody has made yet; any other must be ours exactly.
  if (status.st_size == 0) {
    // Reserved now, so that a full /dev/shm fails here rather than raising SIGBUS at a later
    // write to a page tmpfs cannot supply.
    const int result = posix_fallocate(fd, 0, static_cast<off_t>(mappingBytes));
    if (result != 0) {
      error = ErrorOf(result);
      return nullptr;
    }
  } else if (static_cast<uint64_t>(status.st_size) != mappingBytes) {
    error = kErrorRevisionMismatch;
    return nullptr;
  }
  void* mapping = mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    error = ErrorOf(errno);
    return nullptr;
  }
  const Header* header = static_cast<const Header*>(mapping);
  if (std::atomic_ref<const uint32_t>(header->ready).load(std::memory_order_acquire) == 0) {
    error = MakeHeader(mapping, mappingBytes, layoutVersion);
  } else if (header->magic != kMagic || header->layoutVersion != layoutVersion ||
             header->bytes != mappingBytes - sizeof(Header)) {
    error = kErrorRevisionMismatch;
  }
  if (error != kErrorSuccess) {
    munmap(mapping, mappingBytes);
    return nullptr;
  }
  return mapping;
}

}  // namespace

std::unique_ptr<SharedRegion> SharedRegion::Open(std::string_view name, size_t bytes,
                                                 uint32_t layoutVersion, uint32_t& error) {
  error = kErrorSuccess;
  if (name.size() > kMaxRegionNameChars) {  // the object names below have room for no more
    error = kErrorInvalidName;
    return nullptr;
  }
  if (bytes > static_cast<size_t>(std::numeric_limits<off_t>::max()) - sizeof(Header)) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  std::unique_ptr<SharedRegion> region(new (std::nothrow) SharedRegion);
  if (region == nullptr) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  // The user id in the name keeps two users' regions of one name apart: another user's object
  // can never stand in the way of ours, and one under our name that is not ours is refused.
  char path[32 + kMaxRegionNameChars];
  snprintf(path, sizeof path, "/kestrune-%u-%.*s", static_cast<unsigned>(geteuid()),
           static_cast<int>(name.size()), name.data());

  // O_EXCL first tells the maker, which sets the mode exactly whatever the umask.
  Descriptor object;
  object.fd = shm_open(path, O_RDWR | O_CREAT | O_EXCL, kMode);
  const bool made = object.fd >= 0;
  if (!made && errno == EEXIST) {
    object.fd = shm_open(path, O_RDWR, 0);
  }
  if (object.fd < 0 || (made && fchmod(object.fd, kMode) != 0)) {
    error = ErrorOf(errno);
    return nullptr;
  }
  struct stat status {};
  if (fstat(object.fd, &status) != 0) {
    error = ErrorOf(errno);
    return nullptr;
  }
  // Checked before the set-up lock: a stranger's object could hold that forever.
  if (status.st_uid != geteuid() || (status.st_mode & 07777) != kMode) {
    error = kErrorAccessDenied;
    return nullptr;
  }
  if (!LockForSetUp(object.fd)) {
    error = kErrorGenFailure;
    return nullptr;
  }
  const size_t mappingBytes = sizeof(Header) + bytes;
  region->mapping = MapRegion(object.fd, mappingBytes, layoutVersion, error);
  if (region->mapping == nullptr) {
    return nullptr;
  }
  region->mappingBytes = mappingBytes;
  return region;
}

SharedRegion::~SharedRegion() {
  if (mapping != nullptr) munmap(mapping, mappingBytes);
}

void* SharedRegion::Data() { return static_cast<char*>(mapping) + sizeof(Header); }

bool SharedRegion::Lock() {
  pthread_mutex_t* mutex = &static_cast<Header*>(mapping)->mutex;
  int result = pthread_mutex_lock(mutex);
  if (result == 0) {
    return false;
  }
  if (result == EOWNERDEAD) {
    result = pthread_mutex_consistent(mutex);
    if (result == 0) {
      return true;
    }
    pthread_mutex_unlock(mutex);
  }
  // Mostly ENOTRECOVERABLE: a holder gave it back without making it consistent, which leaves
  // no lock to take.
  throw std::system_error(result, std::generic_category(), "shared region lock");
}

void SharedRegion::Unlock() noexcept {
  pthread_mutex_unlock(&static_cast<Header*>(mapping)->mutex);
}

}  // namespace ksrn
